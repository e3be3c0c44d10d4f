#include "merge/input_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

// A rate as a person would write it: whole numbers without a fraction.
std::string rate_text(double fps)
{
    char text[64];
    if (std::isfinite(fps) && std::fabs(fps) < 1e15 && fps == std::floor(fps))
        std::snprintf(text, sizeof text, "%.0f", fps);
    else
        std::snprintf(text, sizeof text, "%g", fps);
    return text;
}

// What to do about a video that gives no usable rate: give it one.
std::string rate_advice(const std::string& video)
{
    const std::size_t slash = video.rfind('/');
    const std::size_t dot = video.rfind('.');
    const std::string stem =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? video.substr(0, dot)
                                                                                 : video;
    return "; give it the rate it was recorded at, for example (at 30 frames per second): "
           "ffmpeg -r 30 -i " +
           video + " -c copy " + stem + "-30fps.mp4";
}

}  // namespace

std::string open_problem(upright_video& reader, const std::string& path)
{
    return reader.open(path) ? std::string() : reader.problem();
}

cv::Size reported_size(const upright_video& reader)
{
    return reader.size();
}

std::string squares_problem(const pair_config& config, cv::Size first_size,
                            cv::Size second_size)
{
    std::string problem;
    if (!first_size.empty())
        problem = square_problem(config.first.path, config.first.circle, first_size);
    if (problem.empty() && !second_size.empty())
        problem = square_problem(config.second.path, config.second.circle, second_size);
    return problem;
}

std::string square_problem(const std::string& video, const image_circle& circle,
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

std::string frame_rate_problem(const std::string& video, double fps)
{
    if (std::isnan(fps))
        return video + ": the video reports no frame rate" + rate_advice(video);
    if (fps >= lowest_frame_rate && fps <= highest_frame_rate)
        return std::string();
    return video + ": the video reports " + rate_text(fps) +
           " frames per second, not a rate a camera records at (" + rate_text(lowest_frame_rate) +
           " to " + rate_text(highest_frame_rate) + ")" + rate_advice(video);
}

std::string refused_frame_rate_problem(const std::string& video, double fps,
                                       const std::string& codec_reason)
{
    return video + ": the video reports " + rate_text(fps) +
           " frames per second, which the output's MPEG-4 video cannot take" +
           (codec_reason.empty() ? "" : " (the codec library said: " + codec_reason + ")") +
           rate_advice(video);
}
