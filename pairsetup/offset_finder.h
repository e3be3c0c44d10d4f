// How far apart two cameras started recording, from a signal that both
// recorded: their sound, or the brightness of their pictures. See
// offset_finder.cpp for how, and for how clear the answer must be.
#ifndef PAIRSETUP_OFFSET_FINDER_H
#define PAIRSETUP_OFFSET_FINDER_H

#include <string>
#include <vector>

// The lag between two signals: `lag` samples such that second[t + lag]
// matches first[t]. A positive lag means the first camera started later
// (the same moment comes later in the second's recording); a negative one,
// the second.
// Why no lag was given.
enum class lag_doubt {
    none,     // a lag was found
    silent,   // a sound is silent
    still,    // a picture's brightness does not change
    no_peak,  // no peak stands out by the clarity (and correlation) needed
    repeats,  // the signal repeats: its peaks form a comb
};

struct lag_finding {
    lag_doubt why = lag_doubt::none;
    bool found = false;  // why == none
    long lag = 0;            // samples of the signals
    double clarity = 0;      // the peak over the next highest, 1 or more
    // When the correlation is a comb of peaks one period apart (a sound or
    // a light that repeats), that period in samples; 0 otherwise. Such a
    // finding is never found.
    long period = 0;
    bool by_onsets = false;  // sound: found from the onsets (see correlate_sounds)
    // Found from the onsets that do not repeat, beside a sound that repeats
    // with this period in samples; 0 otherwise.
    long repeat = 0;
    std::string refusal;     // why no lag stands out, naming the limit missed; empty when found
};

// The lag, between -max_lag and max_lag samples, at which the two sounds
// (sound_track.h's samples, `rate` a second) match best: by
// cross-correlation with the phase transform (cv::dft), and where that
// gives no clear peak, by the cross-correlation of the two sounds' onsets.
// Given only when the peak stands out and the sound does not repeat.
lag_finding correlate_sounds(const std::vector<float>& first, const std::vector<float>& second,
                             long max_lag, int rate);

// The onset strength of a sound of `rate` samples a second, onset_rate
// values a second: how far its loudness rises above the loudest of the
// moment before (in decibels), never below 0.
constexpr int onset_rate = 1000;
std::vector<float> sound_onsets(const std::vector<float>& sound, int rate);

// The onsets that do not come again one `period` (in onset values) before
// or after: each less the strongest onset a period away.
std::vector<float> without_repeats(const std::vector<float>& onsets, long period);

// The lag, between -max_lag and max_lag frames, at which the frame-to-frame
// changes of brightness (picture_signal.h) match best, by normalised
// correlation. Given only when the peak stands out.
lag_finding correlate_pictures(const std::vector<float>& first, const std::vector<float>& second,
                               long max_lag);

#endif
