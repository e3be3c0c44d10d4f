#include "common/image_circle.h"

#include "common/lens_geometry.h"
#include "common/line_pattern.h"

std::string image_circle_line(const image_circle& c)
{
    char line[64];
    std::snprintf(line, sizeof line, IMAGE_CIRCLE_PATTERN, static_cast<int>(c.x),
                  static_cast<int>(c.y), static_cast<int>(c.r));
    return line;
}

circle_text read_image_circle(const char* line, image_circle& circle)
{
    std::int32_t v[3] = {0, 0, 0};
    switch (scan_numbers(line, IMAGE_CIRCLE_PATTERN, v, 3)) {
    case scan_status::complete:
        break;
    case scan_status::out_of_range:
        return circle_text::number_out_of_range;
    case scan_status::mismatch:
        return circle_text::not_a_circle;
    }
    circle = image_circle{v[0], v[1], v[2]};
    return v[2] > max_radius || v[2] < -max_radius ? circle_text::radius_out_of_range
                                                    : circle_text::circle;
}
