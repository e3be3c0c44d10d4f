// The merge of two fisheye videos into one side-by-side video.
#ifndef MERGE_MERGE_LOOP_H
#define MERGE_MERGE_LOOP_H

#include <string>

#include "common/pair_config.h"

// Opens both videos and the output, drops the start frames and writes one
// output frame per frame pair until either video ends. Returns the exit
// status: 0 after a normal end, 1 after a failure reported on standard error,
// 128 + the signal number after a stop asked for by a signal (see
// stop_request.h).
int run_merge(const pair_config& config, const std::string& output_video, bool equirect_mode);

#endif
