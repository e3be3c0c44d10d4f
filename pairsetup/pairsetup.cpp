#include "pairsetup/pairsetup.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/image_circle.h"
#include "pairsetup/circle_finder.h"
#include "pairsetup/frame_sampler.h"

namespace {

constexpr const char* usage =
    "usage: pairsetup --circle FILE\n"
    "       pairsetup --help | --version\n"
    "\n"
    "  --circle FILE   find the image circle of a circular fisheye lens on a photo\n"
    "                  or a video (frames spread over its length) and print it as\n"
    "                  the line that twinwarp's pair configuration takes, such as\n"
    "                  \"X 962, Y 538, R 600\"; how it was found goes to standard\n"
    "                  error\n"
    "  --help          print this text\n"
    "  --version       print the version\n";

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

int print_circle(const std::string& path)
{
    const sampled_evidence sampled = sample_frames(path);
    if (!sampled.problem.empty()) {
        std::fprintf(stderr, "%s %s\n", path.c_str(), sampled.problem.c_str());
        return 1;
    }
    const circle_finding finding = find_image_circle(sampled.evidence.mean());
    if (!finding.found) {
        const std::string by_hand =
            sampled.photo ? "lensrim " + path
                          : "lensrim on a still of it (ffmpeg -i " + path + " -frames:v 1 still.png)";
        std::fprintf(stderr, "no image circle in %s (%s): %s; fit it by hand with %s\n",
                     path.c_str(), frames_text(sampled).c_str(), finding.refusal.c_str(),
                     by_hand.c_str());
        return 1;
    }
    std::fprintf(stderr,
                 "circle from %s: %s rim points, %d %% within 1 px of the circle, seen %d %% of "
                 "the way round, rim contrast %d levels\n",
                 frames_text(sampled).c_str(), grouped(finding.rim_points).c_str(),
                 percent(finding.within_1px), percent(finding.coverage),
                 static_cast<int>(std::lround(finding.contrast)));
    print_image_circle(stdout, finding.rounded());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "cannot write the circle line: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int pairsetup_main(int argc, char** argv)
{
    const std::string first = argc > 1 ? argv[1] : "";
    if (argc == 2 && first == "--help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && first == "--version") {
        std::printf("pairsetup %s\n", PAIRSETUP_VERSION);
        return 0;
    }
    if (argc == 3 && first == "--circle")
        return print_circle(argv[2]);
    std::fputs(usage, stderr);
    return 1;
}
