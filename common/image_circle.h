// The image circle of a circular fisheye lens, in pixels of the camera's
// frame, and the one line of text that carries it from the fitting tool
// (lensrim prints it) into the pair configuration file (twinwarp reads it).
#ifndef COMMON_IMAGE_CIRCLE_H
#define COMMON_IMAGE_CIRCLE_H

#include <cstdint>
#include <cstdio>

// Centre column x and row y (origin top-left, rows growing downwards) and
// radius r.
struct image_circle {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t r = 0;
};

// The text form of an image_circle, both for printing and for reading back
// (with the rules of formatted input: a blank matches any run of white space,
// every other character must match itself). A macro so that the compiler can
// check the printf arguments against it.
#define IMAGE_CIRCLE_PATTERN "X %d, Y %d, R %d\n"

inline int print_image_circle(std::FILE* out, const image_circle& c)
{
    return std::fprintf(out, IMAGE_CIRCLE_PATTERN, static_cast<int>(c.x),
                        static_cast<int>(c.y), static_cast<int>(c.r));
}

#endif
