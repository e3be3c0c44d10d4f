// pairsetup's command line: its forms, its usage text, and the values given
// on it, each read by the rig's own reader of its form.
#ifndef PAIRSETUP_COMMAND_LINE_H
#define PAIRSETUP_COMMAND_LINE_H

#include <cstdint>
#include <optional>
#include <string>

#include "common/image_circle.h"
#include "pairsetup/start_offsets.h"

extern const char* const pairsetup_usage;

// The most that --max-offset may say, in seconds (an hour); without it the
// search's default_max_offset holds.
constexpr double longest_max_offset = 3600;

// The command line of the two-video forms.
struct pair_request {
    bool offsets_only = false;
    std::string first, second;
    std::string output;   // -o
    std::string preview;  // --preview
    std::optional<image_circle> first_circle, second_circle;  // as written
    std::optional<std::int32_t> starts[2];
    double max_offset = default_max_offset;
};

// Reads the options of the two-video forms; false, with `error` set (empty
// for the usage alone), when the command line is not one of them.
bool parse_request(int argc, char** argv, pair_request& r, std::string& error);

#endif
