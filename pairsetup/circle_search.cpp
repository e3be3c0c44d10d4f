#include "pairsetup/circle_search.h"

#include <cmath>

#include "pairsetup/circle_finder.h"
#include "pairsetup/frame_sampler.h"

namespace {

// 3412 as "3,412".
std::string grouped(long long n)
{
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

int percent(double share)
{
    return static_cast<int>(std::lround(100 * share));
}

std::string frames_text(const sampled_evidence& sampled)
{
    if (sampled.photo)
        return "the photo";
    const int n = sampled.evidence.frames();
    return std::to_string(n) + (n == 1 ? " frame" : " frames");
}

}  // namespace

circle_result find_circle(const std::string& path, int camera)
{
    circle_result out;
    const std::string of_camera = camera == 0 ? "" : "camera " + std::to_string(camera) + ": ";
    const std::string give_it =
        camera == 0 ? "" : camera == 1 ? ", and give it with --first-circle" : ", and give it with --second-circle";
    const sampled_evidence sampled = sample_frames(path);
    if (!sampled.problem.empty()) {
        out.message = of_camera + path + " " + sampled.problem + give_it;
        return out;
    }
    const circle_finding finding = find_image_circle(sampled.evidence.mean());
    if (!finding.found) {
        const std::string by_hand =
            sampled.photo ? "lensrim " + path
                          : "lensrim on a still of it (ffmpeg -i " + path + " -frames:v 1 still.png)";
        out.message = of_camera + "no image circle in " + path + " (" + frames_text(sampled) +
                      "): " + finding.refusal + "; fit it by hand with " + by_hand + give_it;
        return out;
    }
    out.circle = finding.rounded();
    out.found = "circle from " + frames_text(sampled) + ": " + grouped(finding.rim_points) +
                " rim points, " + std::to_string(percent(finding.within_1px)) +
                " % within 1 px of the circle, seen " + std::to_string(percent(finding.coverage)) +
                " % of the way round, rim contrast " +
                std::to_string(static_cast<int>(std::lround(finding.contrast))) + " levels";
    out.summary = "circle from " + frames_text(sampled) + ", " +
                  std::to_string(percent(finding.within_1px)) + " % of rim points within 1 px";
    return out;
}
