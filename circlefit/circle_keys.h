// The state of lensrim's fitting loop: the circle it starts with and what
// each key does to it. Kept apart from the window so that it can be driven
// without a display.
#ifndef CIRCLEFIT_CIRCLE_KEYS_H
#define CIRCLEFIT_CIRCLE_KEYS_H

#include <opencv2/core/types.hpp>

#include "common/image_circle.h"

// Key codes as cv::waitKey returns them.
enum circle_key : int {
    key_none = -1,   // no key came during the wait
    key_grow = 43,   // "+": radius + 1
    key_shrink = 45, // "-": radius - 1, never below 0
    key_down = 50,   // "2": centre one row down
    key_left = 52,   // "4": centre one column left
    key_right = 54,  // "6": centre one column right
    key_up = 56,     // "8": centre one row up
    key_quit = 113,  // "q" (lower case only)
};

// The circle shown first: centred on the photo (columns / 2, rows / 2),
// radius a third of the smaller side, all truncated toward zero.
image_circle initial_circle(cv::Size photo);

// Applies one key code to the circle, one pixel per press. Returns false for
// the quit key, true for every other code; codes outside the table (and no
// key, -1) leave the circle as it is. The radius stops at 0, so the circle
// can always be drawn.
bool apply_key(image_circle& circle, int key);

#endif
