// The pair configuration file: eight lines, four per camera, taken by
// position alone:
//
//   camera 1                 free text, not interpreted
//   clips/cam1.mp4           the video path (first word of the line)
//   X 962, Y 538, R 600      the image circle, as lensrim prints it
//   start 12                 frames to drop at the start of the video
//   ...                      the same four lines for the second camera
#ifndef COMMON_PAIR_CONFIG_H
#define COMMON_PAIR_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "common/image_circle.h"

// One camera's entry, as the file holds it: the circle with its radius as
// written (scale_circle gives the one that is cut).
struct eye_source {
    std::string note;  // the free text line, without its line end
    std::string path;
    image_circle circle;
    std::int32_t start = 0;
};

// first is the left half of every output frame and sets the frame rate.
struct pair_config {
    eye_source first;
    eye_source second;
};

// The longest line the file holds, without its line end; a longer one is
// refused.
constexpr std::size_t longest_config_line = 1022;

// The longest video path a path line holds.
constexpr std::size_t longest_config_path = longest_config_line;

// A message quotes a line of the file cut to this many characters, with
// "..." after it when there is more.
constexpr std::size_t quoted_length = 60;

// `text` cut to quoted_length characters, with "..." when it was longer.
std::string shortened(const std::string& text);

// Whether `path` can stand on a path line and be read back as it is: the
// reader takes the line's first word, so it must hold no white space.
enum class path_line {
    fits,
    empty,
    has_blank,  // white space, which would end the path early
    too_long,   // beyond longest_config_path
};
path_line path_line_fit(const std::string& path);

// A camera's start line, its line end included: "start 12\n".
std::string start_line(std::int32_t start);

// The file of `config`, which reads back to the very same values: each
// camera's note (line ends in it become blanks, and it is cut to
// longest_config_line), path, circle and start. Every path must fit its line
// (path_line_fit).
std::string pair_config_text(const pair_config& config);

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
