// The frame rates that a merge's output can take from its first camera, and
// the messages for one it cannot: the rule of the merge, which the tools that
// prepare its configuration apply too.
#ifndef COMMON_FRAME_RATE_H
#define COMMON_FRAME_RATE_H

#include <string>

// The frame rates a camera can mean, in frames per second.
constexpr double lowest_frame_rate = 1.0;
constexpr double highest_frame_rate = 1000.0;

// Why `video`, which reports `fps`, cannot set the output's frame rate: the
// rate is not a finite number between lowest_frame_rate and
// highest_frame_rate. Empty when it can.
std::string frame_rate_problem(const std::string& video, double fps);

// The message for a rate inside that range that the writer refuses all the
// same (one that MPEG-4's time base cannot hold), with the codec library's
// own words when there are any.
std::string refused_frame_rate_problem(const std::string& video, double fps,
                                       const std::string& codec_reason);

#endif
