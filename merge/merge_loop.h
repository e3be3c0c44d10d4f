// The merge of two fisheye videos into one side-by-side video.
#ifndef MERGE_MERGE_LOOP_H
#define MERGE_MERGE_LOOP_H

#include <string>

#include <opencv2/core.hpp>

#include "common/image_circle.h"
#include "merge/pair_config.h"

// Side of the square that each camera's image circle is scaled to; the
// output frame holds two of them side by side.
constexpr int square_side = 2000;

// Cuts the square of side 2r centred on the circle out of `frame` (a view, no
// copy) and returns it scaled bilinearly to square_side x square_side. The
// square must lie inside the frame; see square_problem.
cv::Mat crop_eye(const cv::Mat& frame, const image_circle& circle);

// Why the square around `circle` (r already scaled) cannot be cut from a
// frame of `frame_size`, as one line naming `video`; empty when it can.
std::string square_problem(const std::string& video, const image_circle& circle,
                           cv::Size frame_size);

// Why `output_video` must not be written: it names the same file as the
// configuration file or one of the input videos. Empty when it may.
std::string output_clash(const std::string& output_video, const std::string& config_file,
                         const pair_config& config);

// Opens both videos and the output, drops the start frames and writes one
// output frame per frame pair until either video ends. Returns the exit
// status: 0 after a normal end, 1 after a failure reported on standard error.
int run_merge(const pair_config& config, const std::string& output_video, bool equirect_mode);

#endif
