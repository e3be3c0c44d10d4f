#include "common/pair_config.h"

#include "common/lens_geometry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char worked_example[] =
    "camera 1\n"
    "clips/cam1.mp4\n"
    "X 962, Y 538, R 600\n"
    "start 12\n"
    "camera 2\n"
    "clips/cam2.mp4\n"
    "X 955, Y 541, R 597\n"
    "start 0\n";

const char worked_echo[] =
    "clips/cam1.mp4\n962 538 600\n12\nclips/cam2.mp4\n955 541 597\n0\n";

struct parse_outcome {
    bool ok = false;
    pair_config config;
    std::string echo;
    std::string error;
};

// Parses `text` as the file "pair.cfg", collecting the echo.
parse_outcome parse(const std::string& text)
{
    parse_outcome outcome;
    std::FILE* in = text.empty()
                        ? std::fopen("/dev/null", "r")
                        : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    char* echo_buffer = nullptr;
    std::size_t echo_size = 0;
    std::FILE* echo = open_memstream(&echo_buffer, &echo_size);
    outcome.ok = parse_pair_config(in, "pair.cfg", echo, outcome.config, outcome.error);
    std::fclose(echo);
    std::fclose(in);
    outcome.echo.assign(echo_buffer, echo_size);
    std::free(echo_buffer);
    return outcome;
}

// The worked example's file with line `n` (1 to 8) replaced.
std::string with_line(int n, const std::string& line)
{
    std::vector<std::string> lines = {"camera 1",       "clips/cam1.mp4",
                                      "X 962, Y 538, R 600", "start 12",
                                      "camera 2",       "clips/cam2.mp4",
                                      "X 955, Y 541, R 597", "start 0"};
    lines[static_cast<std::size_t>(n - 1)] = line;
    std::string text;
    for (const std::string& l : lines)
        text += l + "\n";
    return text;
}

void expect_worked_example_values(const parse_outcome& got, const std::string& label)
{
    ASSERT_TRUE(got.ok) << label << ": " << got.error;
    EXPECT_EQ(got.echo, worked_echo) << label;
    const eye_source& a = got.config.first;
    const eye_source& b = got.config.second;
    EXPECT_EQ(a.path, "clips/cam1.mp4") << label;
    EXPECT_EQ(b.path, "clips/cam2.mp4") << label;
    EXPECT_EQ(a.circle.x, 962) << label;
    EXPECT_EQ(a.circle.y, 538) << label;
    EXPECT_EQ(a.circle.r, 600) << label;
    EXPECT_EQ(scale_circle(a.circle).r, 490) << label;
    EXPECT_EQ(a.start, 12) << label;
    EXPECT_EQ(b.circle.x, 955) << label;
    EXPECT_EQ(b.circle.y, 541) << label;
    EXPECT_EQ(b.circle.r, 597) << label;
    EXPECT_EQ(scale_circle(b.circle).r, 488) << label;
    EXPECT_EQ(b.start, 0) << label;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

TEST(pair_config, WorkedExampleAndTheFormsThatReadTheSame)
{
    const std::string example = worked_example;
    expect_worked_example_values(parse(example), "worked example");
    expect_worked_example_values(parse(replace_all(example, "\n", "\r\n")), "CR LF");
    expect_worked_example_values(parse(example.substr(0, example.size() - 1)),
                                 "eighth line without line end");
    expect_worked_example_values(parse(example + "camera 3\nclips/cam3.mp4\ngarbage\n"),
                                 "lines after the eighth");
    expect_worked_example_values(parse(replace_all(replace_all(example, "camera 1", ""),
                                                   "camera 2", "\t anything: X 1, Y 2, R 3")),
                                 "free text lines blank or arbitrary");
    expect_worked_example_values(
        parse(replace_all(replace_all(example, ", ", ","), "X ", "X")), "no blanks");
    expect_worked_example_values(
        parse(replace_all(replace_all(replace_all(example, ", ", ",  \t"), "X ", "X   "),
                          "R ", "R  ")),
        "blanks doubled and tabs");
    expect_worked_example_values(
        parse(replace_all(replace_all(example, "clips/cam1.mp4", "   clips/cam1.mp4 second word"),
                          "clips/cam2.mp4", "\tclips/cam2.mp4\tand more")),
        "path with leading blanks and further words");
    expect_worked_example_values(
        parse(replace_all(replace_all(example, "R 600", "R 600 trailing"), "start 12",
                          "start 12frames")),
        "text after the last number");
    expect_worked_example_values(parse(replace_all(example, "X 962", "X +962")), "plus sign");

    // The line lensrim prints is taken unchanged.
    char printed[64];
    std::snprintf(printed, sizeof printed, IMAGE_CIRCLE_PATTERN, 962, 538, 600);
    std::string line(printed);
    line.pop_back();
    expect_worked_example_values(parse(with_line(3, line)), "lensrim's line");
}

TEST(pair_config, RadiusScalingTruncatesTowardZero)
{
    const std::vector<std::pair<int, int>> cases = {
        {600, 490}, {597, 488}, {12, 9}, {11, 9}, {1, 0}, {0, 0}, {-12, -9}, {11930464, 9761288}};
    for (const auto& c : cases) {
        EXPECT_EQ(scale_radius(c.first), c.second) << c.first;
        const parse_outcome got =
            parse(with_line(7, "X 1, Y 2, R " + std::to_string(c.first)));
        ASSERT_TRUE(got.ok) << got.error;
        EXPECT_EQ(got.config.second.circle.r, c.first) << c.first;
        EXPECT_EQ(scale_circle(got.config.second.circle).r, c.second) << c.first;
        // The echo shows the radius as written.
        EXPECT_NE(got.echo.find("1 2 " + std::to_string(c.first) + "\n"), std::string::npos);
    }
}

TEST(pair_config, MalformedFilesAreRejectedWithLineAndForm)
{
    const std::string circle_form =
        "in the form \"X 962, Y 538, R 600\" (the line lensrim prints)";
    const std::string eight_lines =
        "the file ends here, but a pair configuration has 8 lines: for each camera a free "
        "text line, the video path, the image circle and the start offset";
    const std::string range = "; numbers must lie between -2147483648 and 2147483647";
    struct rejection {
        std::string text;
        std::string error;
        std::string echo;  // what was echoed before the rejection
    };
    const std::string example = worked_example;
    const std::vector<rejection> cases = {
        {"", "pair.cfg:1: " + eight_lines, ""},
        {example.substr(0, example.find("start 0")),
         "pair.cfg:8: " + eight_lines,
         "clips/cam1.mp4\n962 538 600\n12\nclips/cam2.mp4\n955 541 597\n"},
        {with_line(2, "   \t"),
         "pair.cfg:2: expected the first camera's video path, found a blank line", ""},
        {with_line(6, ""),
         "pair.cfg:6: expected the second camera's video path, found a blank line",
         "clips/cam1.mp4\n962 538 600\n12\n"},
        {with_line(3, "X 962, Y 538"),
         "pair.cfg:3: expected the first camera's image circle " + circle_form +
             ", found \"X 962, Y 538\"",
         "clips/cam1.mp4\n"},
        {with_line(3, "x 962, y 538, r 600"),
         "pair.cfg:3: expected the first camera's image circle " + circle_form +
             ", found \"x 962, y 538, r 600\"",
         "clips/cam1.mp4\n"},
        {with_line(3, " X 962, Y 538, R 600"),
         "pair.cfg:3: expected the first camera's image circle " + circle_form +
             ", found \" X 962, Y 538, R 600\"",
         "clips/cam1.mp4\n"},
        {with_line(7, "X 955 , Y 541, R 597\r"),
         "pair.cfg:7: expected the second camera's image circle " + circle_form +
             ", found \"X 955 , Y 541, R 597\"",
         "clips/cam1.mp4\n962 538 600\n12\nclips/cam2.mp4\n"},
        {with_line(3, "X 962, Y -, R 600"),
         "pair.cfg:3: expected the first camera's image circle " + circle_form +
             ", found \"X 962, Y -, R 600\"",
         "clips/cam1.mp4\n"},
        {with_line(4, "start"),
         "pair.cfg:4: expected the first camera's start offset in the form \"start 12\", "
         "found \"start\"",
         "clips/cam1.mp4\n962 538 600\n"},
        {with_line(8, "Start 3"),
         "pair.cfg:8: expected the second camera's start offset in the form \"start 12\", "
         "found \"Start 3\"",
         "clips/cam1.mp4\n962 538 600\n12\nclips/cam2.mp4\n955 541 597\n"},
        {with_line(3, "X 2147483648, Y 538, R 600"),
         "pair.cfg:3: number out of range in \"X 2147483648, Y 538, R 600\"" + range,
         "clips/cam1.mp4\n"},
        {with_line(4, "start -2147483649"),
         "pair.cfg:4: number out of range in \"start -2147483649\"" + range,
         "clips/cam1.mp4\n962 538 600\n"},
        {with_line(7, "X 1, Y 2, R 11930465"),
         "pair.cfg:7: radius 11930465 is too large; the radius must lie between -11930464 "
         "and 11930464",
         "clips/cam1.mp4\n962 538 600\n12\nclips/cam2.mp4\n"},
        {with_line(3, "X 1, Y 2, R -11930465"),
         "pair.cfg:3: radius -11930465 is too large; the radius must lie between -11930464 "
         "and 11930464",
         "clips/cam1.mp4\n"},
        // A long line is quoted cut to its first 60 characters.
        {with_line(3, "X 1, Y " + std::string(100, '7')),
         "pair.cfg:3: number out of range in \"X 1, Y " + std::string(53, '7') + "...\"" + range,
         "clips/cam1.mp4\n"},
        {with_line(4, "begin " + std::string(100, 'b')),
         "pair.cfg:4: expected the first camera's start offset in the form \"start 12\", found "
         "\"begin " + std::string(54, 'b') + "...\"",
         "clips/cam1.mp4\n962 538 600\n"},
        {with_line(2, std::string(1023, 'a')),
         "pair.cfg:2: line longer than 1022 characters", ""},
        {with_line(5, std::string(2000, ' ')),
         "pair.cfg:5: line longer than 1022 characters", "clips/cam1.mp4\n962 538 600\n12\n"},
        // A NUL byte does not hide the length of a line.
        {with_line(1, std::string("camera 1\0", 9) + std::string(1500, 'a')),
         "pair.cfg:1: line longer than 1022 characters", ""},
    };
    for (const rejection& c : cases) {
        const parse_outcome got = parse(c.text);
        EXPECT_FALSE(got.ok) << c.error;
        EXPECT_EQ(got.error, c.error);
        EXPECT_EQ(got.echo, c.echo) << c.error;
    }
}

TEST(pair_config, LongestLinesThatFitAreRead)
{
    // 1022 characters and a line end fill one read exactly; so does an
    // eighth line of 1023 characters without one.
    const std::string path(1022, 'p');
    parse_outcome got = parse(with_line(2, path));
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.config.first.path, path);

    std::string text = with_line(8, "start 7" + std::string(1016, ' '));
    text.pop_back();
    got = parse(text);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.config.second.start, 7);

    got = parse(with_line(4, "start -2147483648"));
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.config.first.start, -2147483647 - 1);
}

TEST(pair_config, WrittenFilesReadBackToTheSameValues)
{
    const std::string longest_path(longest_config_path, 'p');
    struct row {
        const char* name;
        pair_config config;
    };
    const row rows[] = {
        {"the worked example",
         {{"camera 1", "clips/cam1.mp4", {962, 538, 600}, 12},
          {"camera 2", "clips/cam2.mp4", {955, 541, 597}, 0}}},
        {"the extremes",
         {{"", longest_path, {-2147483647 - 1, 2147483647, -max_radius}, -2147483647 - 1},
          {"camera 2: as given; X 1, Y 2, R 3", "/a", {0, 0, max_radius}, 2147483647}}},
        {"notes with line ends and tabs",
         {{"one\ntwo\r", "a.mp4", {1, 2, 3}, 4}, {"\tX 1, Y 2, R 3\n", "b.mp4", {5, 6, 7}, 8}}},
    };
    for (const row& r : rows) {
        const std::string text = pair_config_text(r.config);
        const parse_outcome got = parse(text);
        ASSERT_TRUE(got.ok) << r.name << ": " << got.error;
        for (const auto& [written, read] : {std::pair{&r.config.first, &got.config.first},
                                            std::pair{&r.config.second, &got.config.second}}) {
            std::string note = written->note;
            for (char& c : note)
                if (c == '\n' || c == '\r')
                    c = ' ';
            EXPECT_EQ(read->note, note) << r.name;
            EXPECT_EQ(read->path, written->path) << r.name;
            EXPECT_TRUE(read->circle == written->circle) << r.name;
            EXPECT_EQ(read->start, written->start) << r.name;
        }
        EXPECT_EQ(pair_config_text(got.config), text) << r.name;
    }
    EXPECT_EQ(pair_config_text(rows[0].config), worked_example);
}
