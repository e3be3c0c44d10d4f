#include "common/square_rule.h"

#include <algorithm>
#include <cstdint>

std::string square_problem(const std::string& video, const scaled_circle& circle,
                           cv::Size frame_size)
{
    if (circle.r < 1)
        return video + ": the scaled radius " + std::to_string(circle.r) +
               " (R * 180 / 220) is below 1 pixel; the circle's R must be at least 2";
    const std::int64_t left = std::int64_t{circle.x} - circle.r;
    const std::int64_t right = std::int64_t{circle.x} + circle.r;
    const std::int64_t top = std::int64_t{circle.y} - circle.r;
    const std::int64_t bottom = std::int64_t{circle.y} + circle.r;
    const bool overlaps =
        left < frame_size.width && right > 0 && top < frame_size.height && bottom > 0;
    const std::int64_t largest_side =
        std::int64_t{largest_square_factor} * std::max(frame_size.width, frame_size.height);
    if (overlaps && right - left <= largest_side)
        return std::string();
    return video + ": the square around X " + std::to_string(circle.x) + ", Y " +
           std::to_string(circle.y) + " with scaled radius " + std::to_string(circle.r) +
           " (columns " + std::to_string(left) + " to " + std::to_string(right - 1) +
           ", rows " + std::to_string(top) + " to " + std::to_string(bottom - 1) +
           ") does not lie inside the " + std::to_string(frame_size.width) + " x " +
           std::to_string(frame_size.height) + " frame";
}
