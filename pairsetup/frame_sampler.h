// The frames that a camera's file offers as evidence of its image circle: a
// photo, or frames spread over the length of a video.
#ifndef PAIRSETUP_FRAME_SAMPLER_H
#define PAIRSETUP_FRAME_SAMPLER_H

#include <string>

#include "pairsetup/circle_finder.h"

// Frames taken from a video: at sampled_places places spread evenly over
// its length, each reached by seeking, so that a long video costs no more
// than a short one, and frames_per_place frames in a row at each (the
// seek, which decodes from the keyframe before the place, costs far more
// than the next frame).
constexpr int sampled_places = 12;
constexpr int frames_per_place = 2;
constexpr int sampled_frames = sampled_places * frames_per_place;

struct sampled_evidence {
    rim_evidence evidence;
    bool photo = false;
    // Why the file gave no frame, as the end of a sentence that names it
    // ("is neither a photo nor a video that can be read"); empty when it
    // gave at least one.
    std::string problem;
};

// Reads `path` as a photo (anything cv::imread reads) or, failing that, as
// a video (anything cv::VideoCapture reads), and sums the evidence of its
// frames.
sampled_evidence sample_frames(const std::string& path);

#endif
