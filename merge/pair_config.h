// The pair configuration file: eight lines, four per camera, taken by
// position alone:
//
//   camera 1                 free text, not interpreted
//   clips/cam1.mp4           the video path (first word of the line)
//   X 962, Y 538, R 600      the image circle, as lensrim prints it
//   start 12                 frames to drop at the start of the video
//   ...                      the same four lines for the second camera
#ifndef MERGE_PAIR_CONFIG_H
#define MERGE_PAIR_CONFIG_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "common/image_circle.h"

// One camera's entry. circle.r holds the radius scaled by 180/220 once the
// file has been read; the radius written in the file is only echoed.
struct eye_source {
    std::string path;
    image_circle circle;
    std::int32_t start = 0;
};

// first is the left half of every output frame and sets the frame rate.
struct pair_config {
    eye_source first;
    eye_source second;
};

// Lines are read through a buffer of this size: one read takes at most 1023
// characters, its line end included.
constexpr int config_line_buffer = 1024;

// The central part of the image circle that is cut out: r * 180 / 220 in
// 32-bit integer arithmetic, truncated toward zero.
std::int32_t scale_radius(std::int32_t r);

// Reads the eight lines of a pair configuration from `in`, writing the echo
// of every value to `echo` as it is read (path, circle with the radius as
// written, start; first camera, then second). On a malformed file returns
// false with `error` set to one line naming `name`, the line number and the
// form expected; the lines echoed until then stay echoed.
bool parse_pair_config(std::FILE* in, const char* name, std::FILE* echo,
                       pair_config& config, std::string& error);

// The command line's reader: opens `config_file`, parses it with the echo on
// standard error and closes it. A file that cannot be opened or is malformed
// is reported on standard error, and the result is empty.
std::optional<pair_config> read_pair_config(const char* config_file);

#endif
