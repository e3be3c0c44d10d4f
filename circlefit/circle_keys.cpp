#include "circlefit/circle_keys.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

using limits = std::numeric_limits<std::int32_t>;

// One pixel up or down, held at the ends of the 32-bit range rather than
// wrapping round.
void step_up(std::int32_t& v)
{
    if (v < limits::max())
        ++v;
}

void step_down(std::int32_t& v, std::int32_t floor)
{
    if (v > floor)
        --v;
}

} // namespace

image_circle initial_circle(cv::Size photo)
{
    image_circle c;
    c.x = photo.width / 2;
    c.y = photo.height / 2;
    c.r = std::min(photo.width, photo.height) / 3;
    return c;
}

bool apply_key(image_circle& circle, int key)
{
    switch (key) {
    case key_quit:
        return false;
    case key_grow:
        step_up(circle.r);
        break;
    case key_shrink:
        // cv::circle refuses a negative radius; 0 is the smallest circle.
        step_down(circle.r, 0);
        break;
    case key_down:
        step_up(circle.y);
        break;
    case key_left:
        step_down(circle.x, limits::min());
        break;
    case key_right:
        step_up(circle.x);
        break;
    case key_up:
        step_down(circle.y, limits::min());
        break;
    default:
        break;
    }
    return true;
}
