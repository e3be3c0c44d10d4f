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

circle_result find_circle(const std::string& path);

#endif
