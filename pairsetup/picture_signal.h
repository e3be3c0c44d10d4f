// A video's picture as a signal in time: the mean brightness of each frame,
// for lining two cameras up by what both see change at once (a flash, a
// light switched on), when their sound cannot.
#ifndef PAIRSETUP_PICTURE_SIGNAL_H
#define PAIRSETUP_PICTURE_SIGNAL_H

#include <string>
#include <vector>

struct picture_stretch {
    std::vector<float> brightness;  // one value a frame, in levels of 255
    std::string problem;            // why the video could not be read
};

// The mean brightness of up to `count` frames of `path` from frame `first`
// on (fewer where the video ends first).
picture_stretch read_brightness(const std::string& path, long first, long count);

#endif
