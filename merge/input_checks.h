// The checks of the inputs made before a merge starts, and on every frame
// pair: the videos open, the first one's frame rate is one the output can
// take, and each camera's square can be cut from its frames.
#ifndef MERGE_INPUT_CHECKS_H
#define MERGE_INPUT_CHECKS_H

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "common/image_circle.h"
#include "common/upright_video.h"
#include "merge/pair_config.h"

// Opens `reader` on `path`; "cannot open PATH" when it cannot (or why its
// display turn cannot be applied), else empty.
std::string open_problem(upright_video& reader, const std::string& path);

// The upright frame size that the reader reports, or an empty size when it
// does not know it before the first frame.
cv::Size reported_size(const upright_video& reader);

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

// The frame rates a camera can mean, in frames per second.
constexpr double lowest_frame_rate = 1.0;
constexpr double highest_frame_rate = 1000.0;

// Why the first camera's `video`, which reports `fps`, cannot set the
// output's frame rate: the rate is not a finite number between
// lowest_frame_rate and highest_frame_rate. Empty when it can.
std::string frame_rate_problem(const std::string& video, double fps);

// The message for a rate inside that range that the writer refuses all the
// same (one that MPEG-4's time base cannot hold), with the codec library's
// own words when there are any.
std::string refused_frame_rate_problem(const std::string& video, double fps,
                                       const std::string& codec_reason);

#endif
