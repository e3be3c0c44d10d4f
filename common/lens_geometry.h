// The lens and the square that the merge cuts around its image circle: the
// few numbers that the cutting, the lookup table and the sample footage must
// agree on, and the circle that the cutting works with.
//
// The merge cuts the square of side 2r around the circle, with r the image
// circle's radius scaled by 180/220 (its central part), scales it to
// square_side x square_side and, in the equirectangular view, treats it as an
// equidistant fisheye whose inscribed circle lies circle_angle off the axis.
#ifndef COMMON_LENS_GEOMETRY_H
#define COMMON_LENS_GEOMETRY_H

#include <cstdint>
#include <limits>

#include "common/image_circle.h"

// Side of the square that each camera's image circle is scaled to; the
// output frame holds two of them side by side.
constexpr int square_side = 2000;

// Radians off the optical axis at the square's inscribed circle (the scaled
// radius): 45.84 degrees.
constexpr double circle_angle = 0.8;

// The radius written in the configuration is scaled by
// radius_scale_numerator / radius_scale_denominator.
constexpr int radius_scale_numerator = 180;
constexpr int radius_scale_denominator = 220;

// The largest radius, either way, whose product with the scale's numerator
// stays in 32 bits: the bound of a circle line's R.
constexpr std::int32_t max_radius =
    std::numeric_limits<std::int32_t>::max() / radius_scale_numerator;

// The central part of the image circle that is cut out: r * 180 / 220 in
// 32-bit integer arithmetic, truncated toward zero. r must lie within
// max_radius either way.
constexpr std::int32_t scale_radius(std::int32_t r)
{
    return r * radius_scale_numerator / radius_scale_denominator;
}

// The circle whose square is cut: the image circle's centre with its radius
// scaled. A type of its own, so that an image circle as written (and as
// lensrim draws it) is never cut as if it were scaled, nor scaled twice.
struct scaled_circle {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t r = 0;
};

constexpr scaled_circle scale_circle(const image_circle& c)
{
    return scaled_circle{c.x, c.y, scale_radius(c.r)};
}

#endif
