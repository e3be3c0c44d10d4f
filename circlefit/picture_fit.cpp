#include "circlefit/picture_fit.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double most_pixels = 4096.0 * 4096.0;

}  // namespace

int picture_area_width(const cv::Rect& picture_in_window)
{
    if (picture_in_window.width <= 0 || picture_in_window.x < 0)
        return 0;
    return picture_in_window.width + 2 * picture_in_window.x;
}

cv::Size enlarged_to_width(cv::Size photo, int area_width)
{
    if (photo.width <= 0 || photo.height <= 0 || area_width <= photo.width)
        return photo;
    double scale = static_cast<double>(area_width) / photo.width;
    scale = std::min(scale, std::sqrt(most_pixels / (static_cast<double>(photo.width) * photo.height)));
    if (scale <= 1.0)
        return photo;
    return cv::Size(static_cast<int>(std::lround(photo.width * scale)),
                    static_cast<int>(std::lround(photo.height * scale)));
}
