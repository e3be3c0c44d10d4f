// The frames to drop from the start of each camera's video so that the two
// are in step: found from their sound when both have some and it gives a
// clear answer, else from their pictures; then checked near the end of the
// stretch they share, for clocks that run apart.
#ifndef PAIRSETUP_START_OFFSETS_H
#define PAIRSETUP_START_OFFSETS_H

#include <string>

// How far apart the cameras may have started, in seconds either way, unless
// told otherwise.
constexpr double default_max_offset = 60;

// What the search is given of the two videos.
struct offset_inputs {
    std::string first, second;  // the videos' paths
    double fps = 0;             // the (shared) frame rate
    double first_frames = 0, second_frames = 0;  // their lengths, as reported
    double max_offset = default_max_offset;  // seconds either way
};

struct start_offsets {
    bool found = false;
    int first_start = 0, second_start = 0;  // frames; the later camera drops none
    std::string how;       // "by sound, peak 9.1x the next", for the config and the log
    std::string refusal;   // why no offset stands out, the whole sentence; empty when found
    std::string drift;     // a warning when the clocks run apart; empty otherwise
    std::string sound_streams;  // which audio streams were read, for the log; empty without sound
};

// Stretches read for the search: the offset's range and this much more.
constexpr double offset_window_seconds = 30;

start_offsets find_start_offsets(const offset_inputs& in);

#endif
