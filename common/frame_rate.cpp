#include "common/frame_rate.h"

#include <cmath>
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
