// The size at which lensrim shows the photo in its window.
#ifndef CIRCLEFIT_PICTURE_FIT_H
#define CIRCLEFIT_PICTURE_FIT_H

#include <opencv2/core/types.hpp>

// The window toolkit scales the picture down to fit its window, but some
// releases of it (OpenCV 4.10's Qt window among them) no longer scale one
// up: a small photo stays small in a large window. So lensrim enlarges the
// picture itself to the width of the window's picture area, and leaves the
// toolkit to fit it (downwards) from there; the operator then sees the same
// thing on every release.
//
// The area's width is read off where the toolkit put the picture: it
// centres the picture across the area, so the area is the picture's width
// plus twice its left offset.
int picture_area_width(const cv::Rect& picture_in_window);

// `photo` enlarged, at its own aspect ratio, to `area_width` columns; the
// photo's own size when it is already as wide. The enlargement stops at
// about 16 million pixels, so that a photo of a few columns but many rows
// cannot ask for gigabytes.
cv::Size enlarged_to_width(cv::Size photo, int area_width);

#endif
