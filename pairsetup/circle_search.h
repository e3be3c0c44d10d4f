// A camera's image circle found on its file (a photo, or frames sampled over
// a video), with the texts that say how sure the finding is, or why there is
// none and what to do instead.
#ifndef PAIRSETUP_CIRCLE_SEARCH_H
#define PAIRSETUP_CIRCLE_SEARCH_H

#include <optional>
#include <string>

#include "common/image_circle.h"

struct circle_result {
    std::optional<image_circle> circle;
    std::string found;    // "circle from 24 frames: ..." for the log
    std::string summary;  // "circle from 24 frames, 99 % of rim points within 1 px"
    std::string message;  // why there is none: the whole sentence
};

// Finds the circle of `path`. `camera` is 1 or 2 when it is for that camera
// of a pair, whose refusal then names it and the option that gives the
// circle by hand; 0 for the file alone.
circle_result find_circle(const std::string& path, int camera);

#endif
