// The image circle of a circular fisheye lens, in pixels of the camera's
// frame, and the one line of text that carries it from the fitting tools
// (lensrim and pairsetup print it) into the pair configuration file (twinwarp
// reads it), printed and read here alone.
#ifndef COMMON_IMAGE_CIRCLE_H
#define COMMON_IMAGE_CIRCLE_H

#include <cstdint>
#include <cstdio>
#include <string>

// Centre column x and row y (origin top-left, rows growing downwards) and
// radius r, as the lens draws it: the radius is not scaled (see
// scaled_circle in lens_geometry.h for the one that is cut).
struct image_circle {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t r = 0;
};

inline bool operator==(const image_circle& a, const image_circle& b)
{
    return a.x == b.x && a.y == b.y && a.r == b.r;
}

// The text form of an image_circle, both for printing and for reading back
// (with the rules of formatted input: a blank matches any run of white space,
// every other character must match itself). A macro so that the compiler can
// check the printf arguments against it.
#define IMAGE_CIRCLE_PATTERN "X %d, Y %d, R %d\n"

// The circle as one line, its line end included.
std::string image_circle_line(const image_circle& c);

inline int print_image_circle(std::FILE* out, const image_circle& c)
{
    return std::fputs(image_circle_line(c).c_str(), out) < 0 ? -1 : 1;
}

// What reading a circle line found.
enum class circle_text {
    circle,               // a circle, with its radius in range
    not_a_circle,         // the line is not in the form
    number_out_of_range,  // a number does not fit a signed 32-bit integer
    radius_out_of_range,  // R lies beyond max_radius either way
};

// Reads `line` as the text form. `circle` holds the numbers read for
// circle and radius_out_of_range, and is left alone otherwise.
circle_text read_image_circle(const char* line, image_circle& circle);

#endif
