#include "pairsetup/setup_steps.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/videoio.hpp>

#include "common/frame_rate.h"
#include "common/lens_geometry.h"
#include "common/number_text.h"
#include "common/output_path.h"
#include "common/square_rule.h"
#include "common/upright_video.h"
#include "pairsetup/circle_search.h"
#include "pairsetup/preview.h"
#include "pairsetup/sound_track.h"
#include "pairsetup/start_offsets.h"

namespace {

// Two frame rates closer than this share of the lower are one rate, told
// twice with rounding; 30 against NTSC's 30000/1001 (0.1 % apart, a frame
// every 33 s) are two.
constexpr double same_rate_tolerance = 0.0005;

// The preview shows the frame pair a third of the way into what both videos
// share.
constexpr int preview_fraction = 3;

const char* const video_names[2] = {"FIRST_VIDEO", "SECOND_VIDEO"};

const std::string& video(const pair_request& r, int c)
{
    return c == 0 ? r.first : r.second;
}

// Why `path` cannot stand on a configuration's path line; empty if it can.
std::string video_path_problem(const char* which, const std::string& path)
{
    switch (path_line_fit(path)) {
    case path_line::fits:
    case path_line::empty:  // not found as a video, in its turn
        return std::string();
    case path_line::has_blank:
        return std::string(which) + " \"" + path +
               "\": a pair configuration's path line cannot hold a blank; make a link "
               "without blanks (ln -s \"" + path + "\" cam.mp4) and give that";
    case path_line::too_long:
        break;
    }
    return std::string(which) + " " + shortened(path) +
           ": a pair configuration's path line holds at most " +
           std::to_string(longest_config_path) +
           " characters; make a shorter link (ln -s) and give that";
}

// The rate a video's stream is made at: OpenCV's own figure is an average
// that a longer sound track can pull off by a fraction of a per cent.
double made_rate(const std::string& path, double opencv_rate)
{
    const double nominal = nominal_frame_rate(path);
    return nominal > 0 ? nominal : opencv_rate;
}

std::string three_decimals(double v)
{
    return with_decimals(v, 3);
}

// Why two rates that each can be used are not one rate; the rule is the
// same whichever video comes first: the difference against the lower rate.
std::string rates_differ(const pair_request& r, double first, double second)
{
    if (std::fabs(first - second) <= same_rate_tolerance * std::min(first, second))
        return std::string();
    return "the two videos' frame rates differ: " + r.first + " runs at " +
           three_decimals(first) + " and " + r.second + " at " + three_decimals(second) +
           " frames per second; twinwarp pairs frames by their index, so give both the same "
           "rate first (ffmpeg -i " + r.second + " -r " + three_decimals(first) + " ...)";
}

// Why camera c's `circle` cannot be cut from its frames, by twinwarp's
// rule; empty when it can, or when the frames' size is not known.
std::string circle_problem(const pair_request& r, const opened_pair& videos, int c,
                           const image_circle& circle)
{
    if (videos.sizes[c].empty())
        return std::string();
    return square_problem(video(r, c), scale_circle(circle), videos.sizes[c]);
}

// Writes `text` to `path` whole or not at all: into a temporary file beside
// it, then renamed into place.
std::string write_whole(const std::string& path, const std::string& text)
{
    std::string scratch = path + ".XXXXXX";
    const int fd = ::mkstemp(scratch.data());
    if (fd < 0)
        return "cannot write " + path + ": " + std::strerror(errno);
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ::chmod(scratch.c_str(), 0644);
    if (!ok || ::rename(scratch.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(scratch.c_str());
        return "cannot write " + path + ": " + why;
    }
    return std::string();
}

}  // namespace

std::string paths_problem(const pair_request& r)
{
    for (int c = 0; c < 2; ++c) {
        const std::string problem = video_path_problem(video_names[c], video(r, c));
        if (!problem.empty())
            return problem;
    }
    if (!r.output.empty()) {
        struct stat st {};
        if (::stat(r.output.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return "-o " + r.output + " is a directory; give a file's path";
        if (same_file(r.output, r.first) || same_file(r.output, r.second))
            return "-o " + r.output + " is one of the videos; give another path";
    }
    const std::size_t dot = r.preview.rfind('.');
    if (!r.preview.empty() && (dot == std::string::npos || r.preview.substr(dot) != ".png"))
        return "--preview " + r.preview +
               ": the preview is a PNG picture; give a path ending in .png";
    return std::string();
}

opened_pair open_pair(const pair_request& r)
{
    opened_pair out;
    double rates[2] = {0, 0};
    for (int c = 0; c < 2; ++c) {
        upright_video reader;
        if (!reader.open(video(r, c))) {
            out.refusal = reader.refused_turn() ? reader.problem()
                                                : "cannot open " + video(r, c) + " as a video";
            return out;
        }
        const double reported = reader.get(cv::CAP_PROP_FPS);
        out.refusal = frame_rate_problem(video(r, c), reported);
        if (!out.refusal.empty())
            return out;
        rates[c] = made_rate(video(r, c), reported);
        out.frames[c] = std::max(0.0, reader.get(cv::CAP_PROP_FRAME_COUNT));
        out.sizes[c] = reader.size();
        cv::Mat first_frame;
        if (out.sizes[c].empty() && reader.read(first_frame))
            out.sizes[c] = first_frame.size();  // not announced: as decoded
    }
    out.refusal = rates_differ(r, rates[0], rates[1]);
    out.fps = rates[0];
    return out;
}

std::string given_values_problem(const pair_request& r, const opened_pair& videos)
{
    const std::optional<image_circle> given[2] = {r.first_circle, r.second_circle};
    for (int c = 0; c < 2; ++c) {
        const std::string problem = given[c] ? circle_problem(r, videos, c, *given[c]) : "";
        if (!problem.empty())
            return problem;
        if (r.starts[c] && videos.frames[c] > 0 && *r.starts[c] >= videos.frames[c])
            return "--starts: " + video(r, c) + " has " +
                   std::to_string(static_cast<long long>(videos.frames[c])) +
                   " frames, so a start of " + std::to_string(*r.starts[c]) +
                   " leaves none to merge; give a start below " +
                   std::to_string(static_cast<long long>(videos.frames[c]));
    }
    return std::string();
}

settled_starts settle_starts(const pair_request& r, const opened_pair& videos)
{
    settled_starts out;
    if (r.starts[0]) {
        out.start[0] = *r.starts[0];
        out.start[1] = *r.starts[1];
        out.how = "start as given";
        std::fprintf(stderr, "start frames as given: %d and %d\n", out.start[0], out.start[1]);
        return out;
    }
    const offset_inputs in{r.first, r.second, videos.fps, videos.frames[0], videos.frames[1],
                           r.max_offset};
    const start_offsets found = find_start_offsets(in);
    if (!found.sound_streams.empty())
        std::fprintf(stderr, "sound read from %s\n", found.sound_streams.c_str());
    if (!found.found) {
        out.refusal = found.refusal;
        return out;
    }
    out.start[0] = found.first_start;
    out.start[1] = found.second_start;
    out.how = "start " + found.how;
    std::fprintf(stderr, "start frames %s: %d and %d\n", found.how.c_str(), out.start[0],
                 out.start[1]);
    if (!found.drift.empty())
        std::fprintf(stderr, "warning: %s\n", found.drift.c_str());
    return out;
}

settled_circles settle_circles(const pair_request& r, const opened_pair& videos)
{
    settled_circles out;
    const std::optional<image_circle> given[2] = {r.first_circle, r.second_circle};
    for (int c = 0; c < 2; ++c) {
        if (given[c]) {
            out.circle[c] = *given[c];  // checked with the other given values
            out.how[c] = "circle as given";
            std::fprintf(stderr, "camera %d: circle as given\n", c + 1);
            continue;
        }
        const circle_result found = find_circle(video(r, c), c + 1);
        if (!found.circle) {
            out.refusal = found.message;
            return out;
        }
        out.circle[c] = *found.circle;
        out.how[c] = found.summary;
        std::fprintf(stderr, "camera %d: %s\n", c + 1, found.found.c_str());
        out.refusal = circle_problem(r, videos, c, out.circle[c]);
        if (!out.refusal.empty())
            return out;
    }
    return out;
}

pair_config settled_config(const pair_request& r, const settled_starts& starts,
                           const settled_circles& circles)
{
    pair_config config;
    eye_source* eyes[2] = {&config.first, &config.second};
    for (int c = 0; c < 2; ++c)
        *eyes[c] = eye_source{"camera " + std::to_string(c + 1) + ": " + circles.how[c] + "; " +
                                  starts.how,
                              video(r, c), circles.circle[c], starts.start[c]};
    return config;
}

std::string preview_problem(const pair_request& r, const opened_pair& videos,
                            const pair_config& config)
{
    const double shared = std::min(videos.frames[0] - config.first.start,
                                   videos.frames[1] - config.second.start);
    const long pair =
        shared > preview_fraction ? static_cast<long>(shared / preview_fraction) : 0;
    std::string why;
    try {
        why = write_preview(r.preview, {r.first, config.first.circle, config.first.start},
                            {r.second, config.second.circle, config.second.start}, pair);
    } catch (const cv::Exception& e) {
        why = "OpenCV failed in " + e.func + ": " + e.err;
    }
    if (!why.empty())
        return "cannot make the preview " + r.preview + ": " + why;
    std::fprintf(stderr, "preview of frame pair %ld: %s\n", pair, r.preview.c_str());
    return std::string();
}

std::string delivery_problem(const pair_request& r, const std::string& text)
{
    if (!r.output.empty())
        return write_whole(r.output, text);
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return "cannot write the configuration to standard output";
    return std::string();
}
