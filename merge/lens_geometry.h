// The lens and the square that the merge cuts around its image circle: the
// few numbers that the cutting, the lookup table and the sample footage must
// agree on.
//
// The merge cuts the square of side 2r around the circle, with r the image
// circle's radius scaled by 180/220 (its central part), scales it to
// square_side x square_side and, in the equirectangular view, treats it as an
// equidistant fisheye whose inscribed circle lies circle_angle off the axis.
#ifndef MERGE_LENS_GEOMETRY_H
#define MERGE_LENS_GEOMETRY_H

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

#endif
