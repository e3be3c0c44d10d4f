#include "pairsetup/frame_sampler.h"

#include <cmath>

#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>

#include "common/upright_video.h"

namespace {

bool readable_file(const std::string& path, std::string& problem)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        problem = "does not exist";
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        problem = "is a directory";
        return false;
    }
    return true;
}

// Adds the frames of a video whose length is not known: the first ones, in
// order.
void add_first_frames(upright_video& reader, rim_evidence& evidence)
{
    cv::Mat frame;
    while (evidence.frames() < sampled_frames && reader.read(frame))
        if (evidence.frames() == 0 || frame.size() == evidence.size())
            evidence.add(frame);
}

}  // namespace

sampled_evidence sample_frames(const std::string& path)
{
    sampled_evidence sampled;
    if (!readable_file(path, sampled.problem))
        return sampled;

    const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    if (!photo.empty()) {
        sampled.photo = true;
        sampled.evidence.add(photo);
        return sampled;
    }

    upright_video reader;
    if (!reader.open(path)) {
        sampled.problem = reader.refused_turn() ? turn_refusal(path, reader.turn())
                                                : "is neither a photo nor a video that can be read";
        return sampled;
    }
    const double count = reader.get(cv::CAP_PROP_FRAME_COUNT);
    if (!(count >= 2 * sampled_frames)) {
        add_first_frames(reader, sampled.evidence);
    } else {
        cv::Mat frame;
        for (int k = 0; k < sampled_places; ++k) {
            const double at = std::floor((k + 0.5) * count / sampled_places);
            if (!reader.seek(at))
                continue;
            for (int f = 0; f < frames_per_place && reader.read(frame); ++f)
                if (sampled.evidence.frames() == 0 || frame.size() == sampled.evidence.size())
                    sampled.evidence.add(frame);
        }
        // A video whose seeking fails is read from its start instead.
        if (sampled.evidence.frames() == 0 && reader.open(path))
            add_first_frames(reader, sampled.evidence);
    }
    if (sampled.evidence.frames() == 0)
        sampled.problem = "holds no frame that can be decoded";
    return sampled;
}
