#include "merge/pair_config.h"

#include <cstdlib>
#include <limits>

#include <sys/stat.h>

#include "merge/lens_geometry.h"
#include "merge/line_pattern.h"

namespace {

constexpr char start_pattern[] = "start %d\n";

// The largest radius whose product with the scale's numerator stays in 32
// bits.
constexpr std::int32_t max_radius =
    std::numeric_limits<std::int32_t>::max() / radius_scale_numerator;

// The line as it stood in the file, without its line end, shortened for a
// message.
std::string quoted(const char* line)
{
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    constexpr std::size_t shown = 60;
    if (text.size() > shown)
        text = text.substr(0, shown) + "...";
    return "\"" + text + "\"";
}

class config_reader {
public:
    config_reader(std::FILE* in, const char* name, std::FILE* echo, std::string& error)
        : in_(in), name_(name), echo_(echo), error_(error)
    {
    }

    bool read_eye(const char* camera, eye_source& eye)
    {
        if (!next_line())  // free text, not interpreted
            return false;

        if (!next_line())
            return false;
        if (!scan_word(line_, eye.path))
            return fail(std::string("expected the ") + camera +
                        " camera's video path, found a blank line");
        std::fprintf(echo_, "%s\n", eye.path.c_str());

        if (!next_line())
            return false;
        std::int32_t circle[3];
        if (!numbers(IMAGE_CIRCLE_PATTERN, circle, 3,
                     std::string("the ") + camera +
                         " camera's image circle in the form \"X 962, Y 538, R 600\""
                         " (the line lensrim prints)"))
            return false;
        if (circle[2] > max_radius || circle[2] < -max_radius)
            return fail("radius " + std::to_string(circle[2]) +
                        " is too large; the radius must lie between " +
                        std::to_string(-max_radius) + " and " + std::to_string(max_radius));
        std::fprintf(echo_, "%d %d %d\n", circle[0], circle[1], circle[2]);

        if (!next_line())
            return false;
        std::int32_t start = 0;
        if (!numbers(start_pattern, &start, 1,
                     std::string("the ") + camera +
                         " camera's start offset in the form \"start 12\""))
            return false;
        std::fprintf(echo_, "%d\n", start);

        eye.circle = image_circle{circle[0], circle[1], scale_radius(circle[2])};
        eye.start = start;
        return true;
    }

private:
    // Reads one line as fgets would, at most sizeof line_ - 1 characters
    // with its line end, but counting what it reads: a NUL byte in the line
    // must not hide how long the line really is.
    bool next_line()
    {
        ++line_number_;
        std::size_t length = 0;
        int c = 0;
        while (length < sizeof line_ - 1 && (c = std::fgetc(in_)) != EOF) {
            line_[length++] = static_cast<char>(c);
            if (c == '\n')
                break;
        }
        line_[length] = '\0';
        if (length == 0)
            return fail("the file ends here, but a pair configuration has 8 lines: "
                        "for each camera a free text line, the video path, "
                        "the image circle and the start offset");
        if (length == sizeof line_ - 1 && line_[length - 1] != '\n' &&
            std::fgetc(in_) != EOF)
            return fail("line longer than " + std::to_string(sizeof line_ - 2) +
                        " characters");
        return true;
    }

    bool numbers(const char* pattern, std::int32_t* values, int count,
                 const std::string& expected)
    {
        switch (scan_numbers(line_, pattern, values, count)) {
        case scan_status::complete:
            return true;
        case scan_status::out_of_range:
            return fail("number out of range in " + quoted(line_) +
                        "; numbers must lie between -2147483648 and 2147483647");
        case scan_status::mismatch:
            break;
        }
        return fail("expected " + expected + ", found " + quoted(line_));
    }

    bool fail(const std::string& what)
    {
        error_ = std::string(name_) + ":" + std::to_string(line_number_) + ": " + what;
        return false;
    }

    std::FILE* in_;
    const char* name_;
    std::FILE* echo_;
    std::string& error_;
    int line_number_ = 0;
    char line_[config_line_buffer] = {};
};

}  // namespace

std::int32_t scale_radius(std::int32_t r)
{
    return r * radius_scale_numerator / radius_scale_denominator;
}

bool parse_pair_config(std::FILE* in, const char* name, std::FILE* echo,
                       pair_config& config, std::string& error)
{
    config_reader reader(in, name, echo, error);
    return reader.read_eye("first", config.first) &&
           reader.read_eye("second", config.second);
}

std::optional<pair_config> read_pair_config(const char* config_file)
{
    // A directory opens for reading here but holds no lines.
    struct stat st {};
    std::FILE* in = std::fopen(config_file, "rt");
    if (in != nullptr && ::fstat(::fileno(in), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(in);
        in = nullptr;
    }
    if (in == nullptr) {
        std::fprintf(stderr, "cannot open config file %s\n", config_file);
        return std::nullopt;
    }
    pair_config config;
    std::string error;
    const bool ok = parse_pair_config(in, config_file, stderr, config, error);
    std::fclose(in);
    if (!ok) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return std::nullopt;
    }
    return config;
}
