#include "pairsetup/pairsetup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/image_circle.h"
#include "common/pair_config.h"
#include "pairsetup/circle_search.h"
#include "pairsetup/command_line.h"
#include "pairsetup/setup_steps.h"

namespace {

int fail(const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

int print_circle(const std::string& path)
{
    const circle_result found = find_circle(path, 0);
    if (!found.circle)
        return fail(found.message);
    std::fprintf(stderr, "%s\n", found.found.c_str());
    print_image_circle(stdout, *found.circle);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return fail(std::string("cannot write the circle line: ") + std::strerror(errno));
    return 0;
}

// The two-video forms: each step refuses with its whole message, and
// nothing reaches standard output or -o's file unless every step passed.
int run_pair(const pair_request& r)
{
    std::string problem = paths_problem(r);
    if (!problem.empty())
        return fail(problem);
    const opened_pair videos = open_pair(r);
    if (!videos.refusal.empty())
        return fail(videos.refusal);
    problem = given_values_problem(r, videos);
    if (!problem.empty())
        return fail(problem);

    const settled_starts starts = settle_starts(r, videos);
    if (!starts.refusal.empty())
        return fail(starts.refusal);
    if (r.offsets_only) {
        std::fputs((start_line(starts.start[0]) + start_line(starts.start[1])).c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    const settled_circles circles = settle_circles(r, videos);
    if (!circles.refusal.empty())
        return fail(circles.refusal);
    const pair_config config = settled_config(r, starts, circles);
    if (!r.preview.empty()) {
        problem = preview_problem(r, videos, config);
        if (!problem.empty())
            return fail(problem);
    }
    problem = delivery_problem(r, pair_config_text(config));
    return problem.empty() ? 0 : fail(problem);
}

}  // namespace

int pairsetup_main(int argc, char** argv)
{
    const std::string first = argc > 1 ? argv[1] : "";
    if (argc == 2 && first == "--help") {
        std::fputs(pairsetup_usage, stdout);
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
    std::fputs(pairsetup_usage, stderr);
    return 1;
}
