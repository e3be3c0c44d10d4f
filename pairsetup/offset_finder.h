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
struct lag_finding {
    bool found = false;
    long lag = 0;            // samples of the signals
    double clarity = 0;      // the peak over the next highest, 1 or more
    std::string refusal;     // why no lag stands out; empty when found
};

// The lag, between -max_lag and max_lag samples, at which the two sounds
// (sound_track.h's samples) match best, by cross-correlation with the
// phase transform (cv::dft). Given only when the peak stands out.
lag_finding correlate_sounds(const std::vector<float>& first, const std::vector<float>& second,
                             long max_lag);

// The lag, between -max_lag and max_lag frames, at which the frame-to-frame
// changes of brightness (picture_signal.h) match best, by normalised
// correlation. Given only when the peak stands out.
lag_finding correlate_pictures(const std::vector<float>& first, const std::vector<float>& second,
                               long max_lag);

#endif
