// The checks of the inputs made before a merge starts, and on every frame
// pair: the videos open, and each camera's square lies inside its frames.
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
// frame of `frame_size`, as one line naming `video`; empty when it can.
std::string square_problem(const std::string& video, const image_circle& circle,
                           cv::Size frame_size);

// Why either camera's square cannot be cut from frames of the given size; an
// empty size (not known yet) is not checked. Empty when both can.
std::string squares_problem(const pair_config& config, cv::Size first_size, cv::Size second_size);

#endif
