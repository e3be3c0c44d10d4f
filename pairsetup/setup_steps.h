// The steps of setting up a pair, in the order pairsetup takes them. Each
// returns what it settled, or the whole message of why it refuses (a
// non-empty `refusal`); a value that twinwarp would refuse is refused here,
// by twinwarp's own rule and in its words, before anything is written.
#ifndef PAIRSETUP_SETUP_STEPS_H
#define PAIRSETUP_SETUP_STEPS_H

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "common/image_circle.h"
#include "common/pair_config.h"
#include "pairsetup/command_line.h"

// Why the paths on the command line cannot be used: a video's path that a
// configuration's path line cannot hold, an -o that is a directory or one of
// the videos, a --preview that is not a PNG. Empty when they can.
std::string paths_problem(const pair_request& r);

// What the two videos tell of themselves once open.
struct opened_pair {
    std::string refusal;
    double fps = 0;                  // their common frame rate
    double frames[2] = {0, 0};       // their lengths, as reported (0: not known)
    cv::Size sizes[2];               // their upright frame sizes (empty: no frame decodes)
};

// Opens both videos and checks their frame rates: each one a rate that the
// merge takes, and both the same.
opened_pair open_pair(const pair_request& r);

// Why a circle or a start given on the command line cannot be used with
// these videos: twinwarp's square rule, or a start at or past a video's end.
// Empty when they can.
std::string given_values_problem(const pair_request& r, const opened_pair& videos);

struct settled_starts {
    std::string refusal;
    std::int32_t start[2] = {0, 0};
    std::string how;  // "start as given", "start by sound, peak 9.1x the next"
};

// The start frames: as given, or found from the sound or the pictures (how,
// on standard error).
settled_starts settle_starts(const pair_request& r, const opened_pair& videos);

struct settled_circles {
    std::string refusal;
    image_circle circle[2];
    std::string how[2];  // "circle as given", "circle from 24 frames, ..."
};

// The image circles: as given, or found (how, on standard error); each one
// checked against its frames by twinwarp's square rule.
settled_circles settle_circles(const pair_request& r, const opened_pair& videos);

// The configuration these settle on, with how each value was found on each
// camera's free text line.
pair_config settled_config(const pair_request& r, const settled_starts& starts,
                           const settled_circles& circles);

// Writes --preview's picture of `config` at a moment a third of the way into
// what both videos share; why not, or empty.
std::string preview_problem(const pair_request& r, const opened_pair& videos,
                            const pair_config& config);

// Writes the configuration to -o's file, whole or not at all, or to standard
// output; why not, or empty.
std::string delivery_problem(const pair_request& r, const std::string& text);

#endif
