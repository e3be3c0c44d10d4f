// Whether a camera's square can be cut from its frames: the one rule that
// the merge applies before it writes anything and on every frame pair, and
// that the tools which prepare its configuration apply before they write it.
#ifndef COMMON_SQUARE_RULE_H
#define COMMON_SQUARE_RULE_H

#include <string>

#include <opencv2/core.hpp>

#include "common/lens_geometry.h"

// A square may reach past the frame (the part outside is black); it is
// refused when its radius is below 1, when it does not overlap the frame at
// all, or when its side is more than largest_square_factor times the frame's
// larger side, too large to be a lens's circle.
constexpr int largest_square_factor = 4;

// Why the square around `circle` cannot be cut from a frame of `frame_size`,
// as one line naming `video`; empty when it can.
std::string square_problem(const std::string& video, const scaled_circle& circle,
                           cv::Size frame_size);

#endif
