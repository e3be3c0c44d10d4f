// One picture to check a pair configuration at a glance, before a long
// merge: each camera's frame with its circle drawn in red, above the merged
// frame at the same moment, side by side and equirectangular, made by
// twinwarp's own merge code.
#ifndef PAIRSETUP_PREVIEW_H
#define PAIRSETUP_PREVIEW_H

#include <string>

#include "common/image_circle.h"

// The width of the preview; the merged frames are shown at half their
// height, 1920 x 960.
constexpr int preview_width = 1920;

struct preview_camera {
    std::string video;
    image_circle circle;  // as the configuration holds it: the radius not scaled
    int start = 0;
};

// Writes the preview of frame `pair` of the merge (counted after the start
// frames) to `png`; an empty string, or why it could not.
std::string write_preview(const std::string& png, const preview_camera& first,
                          const preview_camera& second, long pair);

#endif
