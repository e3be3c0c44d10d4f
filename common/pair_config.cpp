#include "common/pair_config.h"

#include <cctype>
#include <cstdlib>

#include <sys/stat.h>

#include "common/lens_geometry.h"
#include "common/line_pattern.h"

namespace {

#define START_PATTERN "start %d\n"

// The line without its line end.
std::string without_line_end(const char* line)
{
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// The line as it stood in the file, shortened for a message.
std::string quoted(const char* line)
{
    return "\"" + shortened(without_line_end(line)) + "\"";
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
        eye.note = without_line_end(line_);

        if (!next_line())
            return false;
        if (!scan_word(line_, eye.path))
            return fail(std::string("expected the ") + camera +
                        " camera's video path, found a blank line");
        std::fprintf(echo_, "%s\n", eye.path.c_str());

        if (!next_line())
            return false;
        image_circle circle;
        switch (read_image_circle(line_, circle)) {
        case circle_text::circle:
            break;
        case circle_text::number_out_of_range:
            return out_of_range();
        case circle_text::not_a_circle:
            return expected(std::string("the ") + camera +
                            " camera's image circle in the form \"X 962, Y 538, R 600\""
                            " (the line lensrim prints)");
        case circle_text::radius_out_of_range:
            return fail("radius " + std::to_string(circle.r) +
                        " is too large; the radius must lie between " +
                        std::to_string(-max_radius) + " and " + std::to_string(max_radius));
        }
        std::fprintf(echo_, "%d %d %d\n", circle.x, circle.y, circle.r);

        if (!next_line())
            return false;
        std::int32_t start = 0;
        if (!numbers(START_PATTERN, &start, 1,
                     std::string("the ") + camera +
                         " camera's start offset in the form \"start 12\""))
            return false;
        std::fprintf(echo_, "%d\n", start);

        eye.circle = circle;
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
            return fail("line longer than " + std::to_string(longest_config_line) +
                        " characters");
        return true;
    }

    bool numbers(const char* pattern, std::int32_t* values, int count,
                 const std::string& form)
    {
        switch (scan_numbers(line_, pattern, values, count)) {
        case scan_status::complete:
            return true;
        case scan_status::out_of_range:
            return out_of_range();
        case scan_status::mismatch:
            break;
        }
        return expected(form);
    }

    bool out_of_range()
    {
        return fail("number out of range in " + quoted(line_) +
                    "; numbers must lie between -2147483648 and 2147483647");
    }

    bool expected(const std::string& form)
    {
        return fail("expected " + form + ", found " + quoted(line_));
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
    // One line with its line end, and the character that shows a line to be
    // longer.
    char line_[longest_config_line + 2] = {};
};

}  // namespace

std::string shortened(const std::string& text)
{
    return text.size() > quoted_length ? text.substr(0, quoted_length) + "..." : text;
}

path_line path_line_fit(const std::string& path)
{
    if (path.empty())
        return path_line::empty;
    for (const char c : path)
        if (std::isspace(static_cast<unsigned char>(c)))
            return path_line::has_blank;
    return path.size() > longest_config_path ? path_line::too_long : path_line::fits;
}

std::string start_line(std::int32_t start)
{
    char line[32];
    std::snprintf(line, sizeof line, START_PATTERN, static_cast<int>(start));
    return line;
}

std::string pair_config_text(const pair_config& config)
{
    std::string text;
    for (const eye_source* eye : {&config.first, &config.second}) {
        std::string note = eye->note.substr(0, longest_config_line);
        for (char& c : note)
            if (c == '\n' || c == '\r')
                c = ' ';
        text += note + "\n" + eye->path + "\n" + image_circle_line(eye->circle) + start_line(eye->start);
    }
    return text;
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
