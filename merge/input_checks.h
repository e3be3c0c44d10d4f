// The checks of the inputs made before a merge starts, and on every frame
// pair: the videos open, and each camera's square can be cut from its
// frames.
#ifndef MERGE_INPUT_CHECKS_H
#define MERGE_INPUT_CHECKS_H

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "common/image_circle.h"
#include "merge/pair_config.h"

// Opens `reader` on `path`; "cannot open PATH" when it cannot, else empty.
std::string open_problem(cv::VideoCapture& reader, const std::string& path);

// The frame size that the reader reports, or an empty size when it does not
// know it before the first frame.
cv::Size reported_size(cv::VideoCapture& reader);

// Why the square around `circle` (r already scaled) cannot be cut from a
// frame of `frame_size`, as one line naming `video`; empty when it can. A
// square may reach past the frame (the part outside is black, see
// crop_eye_into); it is refused when the radius is below 1, when it does
// not overlap the frame at all, or when its side is more than
// largest_square_factor times the frame's larger side, too large to be a
// lens's circle.
constexpr int largest_square_factor = 4;
std::string square_problem(const std::string& video, const image_circle& circle,
                           cv::Size frame_size);

// Why either camera's square cannot be cut from frames of the given size; an
// empty size (not known yet) is not checked. Empty when both can.
std::string squares_problem(const pair_config& config, cv::Size first_size, cv::Size second_size);

#endif
