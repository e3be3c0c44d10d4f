#include "pairsetup/picture_signal.h"

#include <opencv2/core.hpp>

#include "common/upright_video.h"

picture_stretch read_brightness(const std::string& path, long first, long count)
{
    picture_stretch out;
    upright_video reader;
    if (!reader.open(path)) {
        out.problem = reader.refused_turn() ? turn_refusal(path, reader.turn()) : "cannot be opened as a video";
        return out;
    }
    if (first > 0 && !reader.seek(static_cast<double>(first))) {
        out.problem = "cannot be read from frame " + std::to_string(first);
        return out;
    }
    cv::Mat frame;
    while (static_cast<long>(out.brightness.size()) < count && reader.read(frame)) {
        const cv::Scalar mean = cv::mean(frame);
        out.brightness.push_back(static_cast<float>((mean[0] + mean[1] + mean[2]) / 3));
    }
    return out;
}
