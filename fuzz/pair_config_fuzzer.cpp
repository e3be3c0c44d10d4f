// libFuzzer target for the pair configuration reader. The input is the whole
// file. Besides what the sanitizers catch, every run checks:
//  - a rejection names the file and a line from 1 to 8, on one line;
//  - an accepted file has paths of 1 to 1022 characters without white space,
//    radii in range, an echo that shows exactly the values read, and reads
//    back to the same values when written out by the configuration's own
//    writer;
//  - on every line of the input, scan_numbers and scan_word agree with
//    sscanf, for the reader's own patterns and for a pattern made from the
//    first line (free text to the reader, so the fuzzer may shape it freely).
#include <cctype>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/lens_geometry.h"
#include "common/line_pattern.h"
#include "common/pair_config.h"

namespace {

constexpr char file_name[] = "fuzz.cfg";

[[noreturn]] void fault(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

void check(bool holds, const char* what, const std::string& detail = std::string())
{
    if (!holds)
        fault(what, detail);
}

struct outcome {
    bool ok = false;
    pair_config config;
    std::string echo;
    std::string error;
};

outcome parse(const std::string& text)
{
    outcome result;
    // fmemopen() refuses an empty buffer; /dev/null is the empty stream.
    std::string buffer = text;
    std::FILE* in = buffer.empty() ? std::fopen("/dev/null", "r")
                                   : fmemopen(buffer.data(), buffer.size(), "r");
    char* echo_data = nullptr;
    std::size_t echo_size = 0;
    std::FILE* echo = open_memstream(&echo_data, &echo_size);
    if (in == nullptr || echo == nullptr)
        fault("cannot open the fuzzing streams", "");
    result.ok = parse_pair_config(in, file_name, echo, result.config, result.error);
    std::fclose(echo);
    std::fclose(in);
    result.echo.assign(echo_data, echo_size);
    std::free(echo_data);
    return result;
}

bool has_space(const std::string& s)
{
    for (char c : s)
        if (std::isspace(static_cast<unsigned char>(c)))
            return true;
    return false;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(begin, end - begin));
        begin = end;
    }
    return lines;
}

// The echo line "x y r" must show the circle as read, its radius in range.
void check_circle_echo(const std::string& echo_line, const image_circle& circle,
                       const std::string& text)
{
    int x = 0, y = 0, r = 0;
    check(std::sscanf(echo_line.c_str(), "%d %d %d", &x, &y, &r) == 3,
          "circle echo is not three numbers", echo_line);
    check(x == circle.x && y == circle.y && r == circle.r,
          "circle echo differs from the values read", text);
    check(r <= max_radius && r >= -max_radius, "radius out of range accepted", text);
}

void check_accepted(const outcome& got, const std::string& text)
{
    for (const eye_source* eye : {&got.config.first, &got.config.second}) {
        check(!eye->path.empty(), "empty path accepted", text);
        check(eye->path.size() <= 1022, "path longer than 1022 characters", text);
        check(!has_space(eye->path), "path holds white space", text);
        check(eye->path.find('\0') == std::string::npos, "path holds a NUL", text);
    }

    const std::vector<std::string> echo = split_lines(got.echo);
    check(echo.size() == 6, "echo is not six lines", got.echo);
    check_circle_echo(echo[1], got.config.first.circle, text);
    check_circle_echo(echo[4], got.config.second.circle, text);

    // The echo must show what was read.
    std::string expected_echo;
    char line[64];
    for (const eye_source* eye : {&got.config.first, &got.config.second}) {
        expected_echo += eye->path + "\n";
        std::snprintf(line, sizeof line, "%d %d %d\n%d\n", static_cast<int>(eye->circle.x),
                      static_cast<int>(eye->circle.y), static_cast<int>(eye->circle.r),
                      static_cast<int>(eye->start));
        expected_echo += line;
    }
    check(got.echo == expected_echo, "echo differs from the values read", text);

    // Written out, the values read back the same, and are written the same
    // again.
    const std::string canonical = pair_config_text(got.config);
    const outcome again = parse(canonical);
    check(again.ok, "canonical form rejected", canonical + "\n" + again.error);
    check(again.echo == got.echo, "canonical form echoes differently", canonical);
    for (const auto& [a, b] : {std::pair{&got.config.first, &again.config.first},
                               std::pair{&got.config.second, &again.config.second}})
        check(a->path == b->path && a->circle == b->circle && a->start == b->start,
              "canonical form reads back to other values", canonical);
    check(pair_config_text(again.config) == canonical, "canonical form is written differently",
          canonical);
}

void check_rejected(const outcome& got, const std::string& text)
{
    const std::string prefix = std::string(file_name) + ":";
    check(got.error.compare(0, prefix.size(), prefix) == 0, "error does not name the file",
          got.error);
    const char* number = got.error.c_str() + prefix.size();
    check(number[0] >= '1' && number[0] <= '8' && number[1] == ':' && number[2] == ' ',
          "error does not name a line from 1 to 8", got.error);
    check(got.error.find('\n') == std::string::npos, "error spans lines", got.error + text);
}

// At most this many conversions in a pattern made from the first line.
constexpr int max_conversions = 8;

// The first line turned into a pattern of the kind scan_numbers takes:
// literal characters, white space and "%d"; every other '%' is dropped.
std::string pattern_from(const std::string& line)
{
    std::string pattern;
    int conversions = 0;
    for (std::size_t i = 0; i < line.size() && line[i] != '\0'; ++i) {
        if (line[i] != '%')
            pattern += line[i];
        else if (i + 1 < line.size() && line[i + 1] == 'd' && conversions < max_conversions) {
            pattern += "%d";
            ++conversions;
            ++i;
        }
    }
    return pattern;
}

int count_conversions(const std::string& pattern)
{
    int n = 0;
    for (std::size_t at = pattern.find("%d"); at != std::string::npos;
         at = pattern.find("%d", at + 2))
        ++n;
    return n;
}

void compare_with_sscanf(const char* line, const std::string& pattern)
{
    const int wanted = count_conversions(pattern);
    if (wanted == 0)
        return;  // nothing to compare: sscanf may report end of input instead of 0
    std::int32_t mine[max_conversions] = {};
    const scan_status status = scan_numbers(line, pattern.c_str(), mine, max_conversions);
    if (status == scan_status::out_of_range)
        return;  // sscanf's behaviour is undefined there
    int theirs[max_conversions] = {};
    const int got = std::sscanf(line, pattern.c_str(), &theirs[0], &theirs[1], &theirs[2],
                                &theirs[3], &theirs[4], &theirs[5], &theirs[6], &theirs[7]);
    const std::string detail = "line \"" + std::string(line) + "\" pattern \"" + pattern + "\"";
    if (status == scan_status::complete) {
        check(got == wanted, "scan_numbers completes where sscanf does not", detail);
        for (int i = 0; i < wanted; ++i)
            check(mine[i] == theirs[i], "scan_numbers reads another value than sscanf", detail);
    } else {
        // Every number read before the mismatch was in range, so sscanf read
        // the same ones and stops at the same place.
        check(got < wanted, "scan_numbers mismatches where sscanf matches", detail);
    }
}

void check_line_pattern(const std::string& text)
{
    const std::vector<std::string> lines = split_lines(text);
    const std::string free_pattern = lines.empty() ? std::string() : pattern_from(lines[0]);
    for (const std::string& line : lines) {
        // The reader sees a line only up to its first NUL.
        const char* c_line = line.c_str();

        std::string word;
        const bool found = scan_word(c_line, word);
        std::vector<char> theirs(line.size() + 1);
        const bool sscanf_found = std::sscanf(c_line, "%s", theirs.data()) == 1;
        check(found == sscanf_found, "scan_word and sscanf disagree on a word", line);
        if (found)
            check(word == theirs.data(), "scan_word takes another word than sscanf", line);

        compare_with_sscanf(c_line, IMAGE_CIRCLE_PATTERN);
        compare_with_sscanf(c_line, "start %d\n");
        compare_with_sscanf(c_line, free_pattern);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const outcome got = parse(text);
    if (got.ok)
        check_accepted(got, text);
    else
        check_rejected(got, text);
    if (size <= 16 * 1024)
        check_line_pattern(text);
    return 0;
}
