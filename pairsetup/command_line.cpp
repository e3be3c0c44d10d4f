#include "pairsetup/command_line.h"

#include <cstdlib>
#include <vector>

#include "common/lens_geometry.h"
#include "common/line_pattern.h"

namespace {

// Why `text` is no circle for `option`, in the words of the configuration's
// reader; empty when it is one.
std::string circle_problem(const std::string& option, const std::string& text,
                           image_circle& circle)
{
    switch (read_image_circle(text.c_str(), circle)) {
    case circle_text::circle:
        return std::string();
    case circle_text::number_out_of_range:
        return option + " \"" + text +
               "\": numbers must lie between -2147483648 and 2147483647";
    case circle_text::radius_out_of_range:
        return option + " \"" + text + "\": the radius must lie between " +
               std::to_string(-max_radius) + " and " + std::to_string(max_radius);
    case circle_text::not_a_circle:
        break;
    }
    return option + " \"" + text +
           "\" is not a circle in the form \"X 962, Y 538, R 600\" (the line lensrim prints)";
}

bool parse_starts(const std::string& text, std::optional<std::int32_t> (&starts)[2])
{
    std::int32_t v[2] = {0, 0};
    if (scan_numbers(text.c_str(), "%d,%d", v, 2) != scan_status::complete || v[0] < 0 || v[1] < 0)
        return false;
    starts[0] = v[0];
    starts[1] = v[1];
    return true;
}

bool parse_max_offset(const std::string& text, double& seconds)
{
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0' && seconds > 0 && seconds <= longest_max_offset;
}

// Reads the value of option `a`, the next argument; false when it is
// malformed (with `error` set) or missing.
bool parse_value(const std::string& a, const std::string& v, pair_request& r, std::string& error)
{
    if (a == "-o") {
        r.output = v;
    } else if (a == "--preview") {
        r.preview = v;
    } else if (a == "--first-circle" || a == "--second-circle") {
        image_circle c;
        error = circle_problem(a, v, c);
        if (!error.empty())
            return false;
        (a == "--first-circle" ? r.first_circle : r.second_circle) = c;
    } else if (a == "--starts") {
        if (!parse_starts(v, r.starts)) {
            error = "--starts \"" + v + "\" is not two numbers of frames, 0 or more, in the form N,M";
            return false;
        }
    } else if (!parse_max_offset(v, r.max_offset)) {
        error = "--max-offset \"" + v + "\" is not a number of seconds above 0 and at most " +
                std::to_string(static_cast<int>(longest_max_offset));
        return false;
    }
    return true;
}

bool takes_value(const std::string& a)
{
    return a == "-o" || a == "--preview" || a == "--first-circle" || a == "--second-circle" ||
           a == "--starts" || a == "--max-offset";
}

}  // namespace

extern const char* const pairsetup_usage =
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
static_assert(default_max_offset == 60, "the usage text states the default");

bool parse_request(int argc, char** argv, pair_request& r, std::string& error)
{
    std::vector<std::string> videos;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--offsets") {
            r.offsets_only = true;
        } else if (takes_value(a)) {
            if (i + 1 >= argc || !parse_value(a, argv[++i], r, error))
                return false;
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else {
            videos.push_back(a);
        }
    }
    if (videos.size() != 2)
        return false;
    if (r.offsets_only && (!r.output.empty() || !r.preview.empty() || r.first_circle ||
                           r.second_circle || r.starts[0]))
        return false;
    r.first = videos[0];
    r.second = videos[1];
    return true;
}
