#include "pairsetup/pairsetup.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "common/image_circle.h"
#include "common/upright_video.h"
#include "merge/input_checks.h"
#include "merge/line_pattern.h"
#include "merge/output_path.h"
#include "merge/pair_config.h"
#include "pairsetup/circle_finder.h"
#include "pairsetup/frame_sampler.h"
#include "pairsetup/preview.h"
#include "pairsetup/sound_track.h"
#include "pairsetup/start_offsets.h"

namespace {

constexpr const char* usage =
    "usage: pairsetup [options] FIRST_VIDEO SECOND_VIDEO\n"
    "       pairsetup --offsets [--max-offset SECONDS] FIRST_VIDEO SECOND_VIDEO\n"
    "       pairsetup --circle FILE\n"
    "       pairsetup --help | --version\n"
    "\n"
    "The first form prints the pair configuration that twinwarp reads: each\n"
    "camera's video, image circle and start frames, found by themselves.\n"
    "  -o FILE                write it to FILE instead of standard output\n"
    "  --preview FILE.png     write a picture to check it: both frames with their\n"
    "                         circles, and the merged frame at the same moment\n"
    "  --first-circle \"X 962, Y 538, R 600\"\n"
    "  --second-circle \"...\"  use this circle (as lensrim prints it) as given\n"
    "  --starts N,M           use these start frames as given\n"
    "  --max-offset SECONDS   how far apart the cameras may have started (60)\n"
    "--offsets prints the two start lines only. --circle prints the image\n"
    "circle of one photo or video, as lensrim prints it. How each value was\n"
    "found, and how sure, goes to standard error.\n";

// Two frame rates closer than this share of the lower are one rate, told
// twice with rounding; 30 against NTSC's 30000/1001 (0.1 % apart, a frame
// every 33 s) are two.
constexpr double same_rate_tolerance = 0.0005;

// The longest path a configuration's path line holds (a line is read 1023
// characters at a time, its line end included).
constexpr std::size_t longest_path = config_line_buffer - 2;

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

// A circle found on `path`, or the whole message of why not.
struct circle_result {
    std::optional<image_circle> circle;
    std::string found;    // "circle from 24 frames: ..." for the log
    std::string summary;  // "circle from 24 frames, 99 % of rim points within 1 px"
    std::string message;  // why there is none
};

circle_result find_circle(const std::string& path)
{
    circle_result out;
    const sampled_evidence sampled = sample_frames(path);
    if (!sampled.problem.empty()) {
        out.message = path + " " + sampled.problem;
        return out;
    }
    const circle_finding finding = find_image_circle(sampled.evidence.mean());
    if (!finding.found) {
        const std::string by_hand =
            sampled.photo ? "lensrim " + path
                          : "lensrim on a still of it (ffmpeg -i " + path + " -frames:v 1 still.png)";
        out.message = "no image circle in " + path + " (" + frames_text(sampled) +
                      "): " + finding.refusal + "; fit it by hand with " + by_hand;
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

int print_circle(const std::string& path)
{
    const circle_result found = find_circle(path);
    if (!found.circle) {
        std::fprintf(stderr, "%s\n", found.message.c_str());
        return 1;
    }
    std::fprintf(stderr, "%s\n", found.found.c_str());
    print_image_circle(stdout, *found.circle);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "cannot write the circle line: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

// The command line of the two-video forms.
struct pair_request {
    bool offsets_only = false;
    std::string first, second;
    std::string output;   // -o
    std::string preview;  // --preview
    std::optional<image_circle> first_circle, second_circle;
    std::optional<std::pair<int, int>> starts;
    double max_offset = 60;
};

bool parse_circle(const std::string& text, image_circle& circle)
{
    std::int32_t v[3] = {0, 0, 0};
    if (scan_numbers(text.c_str(), IMAGE_CIRCLE_PATTERN, v, 3) != scan_status::complete || v[2] < 2)
        return false;
    circle = image_circle{v[0], v[1], v[2]};
    return true;
}

bool parse_starts(const std::string& text, std::pair<int, int>& starts)
{
    std::int32_t v[2] = {0, 0};
    if (scan_numbers(text.c_str(), "%d,%d", v, 2) != scan_status::complete || v[0] < 0 || v[1] < 0)
        return false;
    starts = {v[0], v[1]};
    return true;
}

// Reads the options; false, with `error` set (empty for the usage alone),
// when the command line is not one of the forms.
bool parse_request(int argc, char** argv, pair_request& r, std::string& error)
{
    std::vector<std::string> videos;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--offsets") {
            r.offsets_only = true;
        } else if (a == "-o") {
            if (!value(r.output))
                return false;
        } else if (a == "--preview") {
            if (!value(r.preview))
                return false;
        } else if (a == "--first-circle" || a == "--second-circle") {
            image_circle c;
            if (!value(v))
                return false;
            if (!parse_circle(v, c)) {
                error = a + " \"" + v + "\" is not a circle in the form \"X 962, Y 538, R 600\" (the line lensrim prints)";
                return false;
            }
            (a == "--first-circle" ? r.first_circle : r.second_circle) = c;
        } else if (a == "--starts") {
            std::pair<int, int> s;
            if (!value(v))
                return false;
            if (!parse_starts(v, s)) {
                error = "--starts \"" + v + "\" is not two numbers of frames, 0 or more, in the form N,M";
                return false;
            }
            r.starts = s;
        } else if (a == "--max-offset") {
            if (!value(v))
                return false;
            char* end = nullptr;
            r.max_offset = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(r.max_offset > 0) || r.max_offset > 3600) {
                error = "--max-offset \"" + v + "\" is not a number of seconds above 0 and at most 3600";
                return false;
            }
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else {
            videos.push_back(a);
        }
    }
    if (videos.size() != 2)
        return false;
    if (r.offsets_only && (!r.output.empty() || !r.preview.empty() || r.first_circle ||
                           r.second_circle || r.starts))
        return false;
    r.first = videos[0];
    r.second = videos[1];
    return true;
}

// Why `path` cannot stand on a configuration's path line; empty if it can.
std::string path_problem(const char* which, const std::string& path)
{
    for (const char c : path)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            return std::string(which) + " \"" + path +
                   "\": a pair configuration's path line cannot hold a blank; make a link "
                   "without blanks (ln -s \"" + path + "\" cam.mp4) and give that";
    if (path.size() > longest_path)
        return std::string(which) + " " + path.substr(0, 60) + "...: a pair configuration's path line holds at most " +
               std::to_string(longest_path) + " characters; make a shorter link (ln -s) and give that";
    return std::string();
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

int fail(const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

int run_pair(const pair_request& r)
{
    std::string problem = path_problem("FIRST_VIDEO", r.first);
    if (problem.empty())
        problem = path_problem("SECOND_VIDEO", r.second);
    if (!problem.empty())
        return fail(problem);
    if (!r.output.empty()) {
        struct stat st {};
        if (::stat(r.output.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return fail("-o " + r.output + " is a directory; give a file's path");
        if (same_file(r.output, r.first) || same_file(r.output, r.second))
            return fail("-o " + r.output + " is one of the videos; give another path");
    }
    if (!r.preview.empty()) {
        const std::size_t dot = r.preview.rfind('.');
        if (dot == std::string::npos || r.preview.substr(dot) != ".png")
            return fail("--preview " + r.preview + ": the preview is a PNG picture; give a path ending in .png");
    }

    // Both videos, and their common frame rate.
    upright_video a, b;
    for (const auto& [reader, path] : {std::pair<upright_video*, const std::string*>{&a, &r.first},
                                       std::pair<upright_video*, const std::string*>{&b, &r.second}})
        if (!reader->open(*path))
            return fail(reader->refused_turn() ? reader->problem() : "cannot open " + *path + " as a video");
    // The rates the streams are made at: OpenCV's own figure is an average
    // that a longer sound track can pull off by a fraction of a per cent.
    double fps1 = nominal_frame_rate(r.first), fps2 = nominal_frame_rate(r.second);
    if (fps1 <= 0)
        fps1 = a.get(cv::CAP_PROP_FPS);
    if (fps2 <= 0)
        fps2 = b.get(cv::CAP_PROP_FPS);
    auto usable = [](double fps) { return fps >= lowest_frame_rate && fps <= highest_frame_rate; };
    if (!usable(fps1) || !usable(fps2))
        return fail("cannot use the frame rates: " + r.first + " reports " + std::to_string(fps1) + ", " +
                    r.second + " " + std::to_string(fps2) + " frames per second");
    // The rule is the same whichever video comes first: the difference
    // against the lower rate.
    if (std::fabs(fps1 - fps2) > same_rate_tolerance * std::min(fps1, fps2)) {
        char text[256];
        std::snprintf(text, sizeof text, "%.3f", fps1);
        std::string first_rate = text;
        std::snprintf(text, sizeof text, "%.3f", fps2);
        return fail("the two videos' frame rates differ: " + r.first + " runs at " + first_rate + " and " +
                    r.second + " at " + text +
                    " frames per second; twinwarp pairs frames by their index, so give both the same "
                    "rate first (ffmpeg -i " + r.second + " -r " + first_rate + " ...)");
    }
    offset_inputs in;
    in.first = r.first;
    in.second = r.second;
    in.fps = fps1;
    in.first_frames = a.get(cv::CAP_PROP_FRAME_COUNT);
    in.second_frames = b.get(cv::CAP_PROP_FRAME_COUNT);
    in.max_offset = r.max_offset;
    const cv::Size frame_sizes[2] = {a.size(), b.size()};
    a.release();
    b.release();

    // The start frames.
    int start1 = 0, start2 = 0;
    std::string start_how;
    if (r.starts) {
        start1 = r.starts->first;
        start2 = r.starts->second;
        start_how = "start as given";
        std::fprintf(stderr, "start frames as given: %d and %d\n", start1, start2);
    } else {
        const start_offsets found = find_start_offsets(in);
        if (!found.sound_streams.empty())
            std::fprintf(stderr, "sound read from %s\n", found.sound_streams.c_str());
        if (!found.found)
            return fail("no start frames for " + r.first + " and " + r.second + ": " + found.refusal +
                        "; count the frames by hand (a clap or a flash in both) and give them with --starts N,M");
        start1 = found.first_start;
        start2 = found.second_start;
        start_how = "start " + found.how;
        std::fprintf(stderr, "start frames %s: %d and %d\n", found.how.c_str(), start1, start2);
        if (!found.drift.empty())
            std::fprintf(stderr, "warning: %s\n", found.drift.c_str());
    }
    if (r.offsets_only) {
        std::printf("start %d\nstart %d\n", start1, start2);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    // The circles.
    image_circle circles[2];
    std::string circle_how[2];
    const std::optional<image_circle> given[2] = {r.first_circle, r.second_circle};
    const std::string videos[2] = {r.first, r.second};
    for (int c = 0; c < 2; ++c) {
        if (given[c]) {
            circles[c] = *given[c];
            circle_how[c] = "circle as given";
            std::fprintf(stderr, "camera %d: circle as given\n", c + 1);
            continue;
        }
        const circle_result found = find_circle(videos[c]);
        if (!found.circle)
            return fail("camera " + std::to_string(c + 1) + ": " + found.message +
                        ", and give it with --" + (c == 0 ? "first" : "second") + "-circle");
        circles[c] = *found.circle;
        circle_how[c] = found.summary;
        std::fprintf(stderr, "camera %d: %s\n", c + 1, found.found.c_str());
    }
    // A circle that twinwarp would refuse is refused here, in its words,
    // before anything is written.
    for (int c = 0; c < 2; ++c) {
        const image_circle square{circles[c].x, circles[c].y, scale_radius(circles[c].r)};
        const std::string problem =
            frame_sizes[c].empty() ? std::string() : square_problem(videos[c], square, frame_sizes[c]);
        if (!problem.empty())
            return fail(problem);
    }

    const int starts[2] = {start1, start2};
    std::string config;
    for (int c = 0; c < 2; ++c) {
        char circle_line[96];
        std::snprintf(circle_line, sizeof circle_line, IMAGE_CIRCLE_PATTERN, circles[c].x, circles[c].y,
                      circles[c].r);
        config += "camera " + std::to_string(c + 1) + ": " + circle_how[c] + "; " + start_how + "\n" +
                  videos[c] + "\n" + circle_line + "start " + std::to_string(starts[c]) + "\n";
    }

    if (!r.preview.empty()) {
        // A moment a third of the way into what both videos share.
        const double shared = std::min(in.first_frames - start1, in.second_frames - start2);
        const long pair = shared > 3 ? static_cast<long>(shared / 3) : 0;
        std::string why;
        try {
            why = write_preview(r.preview, {r.first, circles[0], start1}, {r.second, circles[1], start2}, pair);
        } catch (const cv::Exception& e) {
            why = "OpenCV failed in " + e.func + ": " + e.err;
        }
        if (!why.empty())
            return fail("cannot make the preview " + r.preview + ": " + why);
        std::fprintf(stderr, "preview of frame pair %ld: %s\n", pair, r.preview.c_str());
    }

    if (!r.output.empty()) {
        const std::string why = write_whole(r.output, config);
        if (!why.empty())
            return fail(why);
        return 0;
    }
    std::fputs(config.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : fail("cannot write the configuration to standard output");
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
    pair_request request;
    std::string error;
    if (first != "--circle" && parse_request(argc, argv, request, error))
        return run_pair(request);
    if (!error.empty())
        std::fprintf(stderr, "%s\n", error.c_str());
    std::fputs(usage, stderr);
    return 1;
}
