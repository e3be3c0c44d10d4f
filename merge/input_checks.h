// The checks of the inputs made before a merge starts, and on every frame
// pair: the videos open, and each camera's square can be cut from its frames
// (the square rule and the frame-rate rule themselves are the rig's: see
// common/square_rule.h and common/frame_rate.h).
#ifndef MERGE_INPUT_CHECKS_H
#define MERGE_INPUT_CHECKS_H

#include <string>

#include <opencv2/core.hpp>

#include "common/pair_config.h"
#include "common/upright_video.h"

// Opens `reader` on `path`; "cannot open PATH" when it cannot (or why its
// display turn cannot be applied), else empty.
std::string open_problem(upright_video& reader, const std::string& path);

// Why either camera's square cannot be cut from frames of the given size; an
// empty size (not known yet) is not checked. Empty when both can.
std::string squares_problem(const pair_config& config, cv::Size first_size, cv::Size second_size);

#endif
