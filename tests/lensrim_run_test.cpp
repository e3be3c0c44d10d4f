// Runs the real lensrim program. The command-line failures need no display;
// the fitting runs start a private Xvfb server, find lensrim's window with
// xdotool, type keys into it and photograph the screen with ImageMagick's
// import. A missing Xvfb, xdotool or import fails these tests: they never
// skip.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/run_program.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// Pause between two key presses. lensrim keeps one key per 1 ms wait and
// the window toolkit keeps only the latest press it has seen, so presses
// that arrive together would be lost.
constexpr int key_delay_ms = 100;

// The test's environment without any display; `display` (":N") adds one.
std::vector<std::string> child_environment(const std::string& display)
{
    return environment_with(display.empty() ? std::vector<std::string>{}
                                            : std::vector<std::string>{"DISPLAY=" + display},
                            {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
}

// Runs a program to its end (at most `timeout`) and collects its output.
program_result run_to_end(const std::vector<std::string>& args,
                          const std::vector<std::string>& env,
                          std::chrono::milliseconds timeout = 30s)
{
    child_program child(args, env);
    if (std::optional<program_result> result = child.wait_for(timeout))
        return *result;
    ADD_FAILURE() << args[0] << " did not end within the time limit";
    return program_result{};
}

// A photo of one flat colour, written as a file lensrim reads.
void write_photo(const std::string& path, int cols, int rows, const cv::Scalar& colour = cv::Scalar(40, 90, 30))
{
    const cv::Mat photo(rows, cols, CV_8UC3, colour);
    ASSERT_TRUE(cv::imwrite(path, photo)) << path;
}

// Pixels of `image` within `tolerance` of `bgr` in every channel.
int count_colour(const cv::Mat& image, const cv::Vec3b& bgr, int tolerance)
{
    int n = 0;
    for (int row = 0; row < image.rows; ++row)
        for (int col = 0; col < image.cols; ++col) {
            const cv::Vec3b p = image.at<cv::Vec3b>(row, col);
            if (std::abs(p[0] - bgr[0]) <= tolerance && std::abs(p[1] - bgr[1]) <= tolerance &&
                std::abs(p[2] - bgr[2]) <= tolerance)
                ++n;
        }
    return n;
}

} // namespace

// ---------------------------------------------------------------------------
// Failures before any window: run with no display at all, so that an attempt
// to open the window would end the program with the toolkit's own complaint
// instead of the expected message.

TEST(lensrim_command_line, usage_and_unreadable_photos)
{
    temp_dir dir;
    const std::vector<std::string> env = child_environment("");

    program_result r = run_to_end({LENSRIM_PATH}, env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "usage lensrim in_photo\n");
    EXPECT_EQ(r.out, "");

    const std::string missing = dir.path("no such dir/photo.png");
    const std::string text = dir.path("notes.png");
    write_file(text, "X 962, Y 538, R 600\nthis is not an image\n");
    const std::string empty = dir.path("empty.jpg");
    write_file(empty, "");
    for (const std::string& photo : {missing, text, empty, std::string("")}) {
        r = run_to_end({LENSRIM_PATH, photo, "extra"}, env);
        EXPECT_EQ(r.status, 1) << photo;
        EXPECT_EQ(r.err, "cannot read photo " + photo + "\n");
        EXPECT_EQ(r.out, "") << photo;
    }

    // A readable photo, but nowhere to show it or to print the circle:
    // reported before any fitting, never an abort.
    const std::string photo = dir.path("photo.png");
    write_photo(photo, 64, 48);
    r = run_to_end({LENSRIM_PATH, photo}, env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot open a window: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
    const std::string no_server = "DISPLAY=:" + std::to_string(4000 + getpid() % 1000);
    r = run_to_end({LENSRIM_PATH, photo}, environment_with({no_server}, {"DISPLAY", "WAYLAND_DISPLAY"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("\ncannot open a window on display " + no_server.substr(8) + "\n"),
              std::string::npos) << r.err;
    child_program closed({LENSRIM_PATH, photo}, env, -1, "");
    r = closed.wait();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot write the circle line: standard output is closed\n");
}

// ---------------------------------------------------------------------------
// Fitting in a real window.

class lensrim_window : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        display_ = start_xvfb();
    }

    static void TearDownTestSuite()
    {
        if (xvfb_)
            xvfb_->terminate();
        xvfb_.reset();
    }

    void SetUp() override
    {
        ASSERT_FALSE(display_.empty()) << "no X server for the window tests: " << xvfb_problem_;
    }

    // Starts Xvfb on a display number that the server itself picks as free
    // and reports through a pipe once it accepts connections.
    static std::string start_xvfb()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            xvfb_problem_ = "pipe failed";
            return {};
        }
        try {
            xvfb_ = std::make_unique<child_program>(
                std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen",
                                         "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
                child_environment(""), fds[1]);
        } catch (const std::exception& e) {
            close(fds[0]);
            close(fds[1]);
            xvfb_problem_ = std::string(e.what()) + " (package xvfb)";
            return {};
        }
        close(fds[1]);
        std::string number;
        const auto end = clock_type::now() + 30s;
        while (clock_type::now() < end) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c = 0;
            if (read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) {
            xvfb_problem_ = "Xvfb reported no display: " + xvfb_->err_so_far();
            xvfb_->terminate();
            return {};
        }
        return ":" + number;
    }

    // Output of a helper program (xdotool, import) run on the test display.
    program_result tool(const std::vector<std::string>& args)
    {
        return run_to_end(args, child_environment(display_));
    }

    // Starts lensrim on the display, waits for its window to be mapped and
    // for the photo to be on screen (pixels of `fill` in the window), and
    // returns the window id. The loop runs from then on, so keys are taken.
    // Standard output goes to `stdout_path` when one is given.
    std::string start_lensrim(const std::vector<std::string>& args, const cv::Vec3b& fill,
                              const char* stdout_path = nullptr)
    {
        std::vector<std::string> argv = {LENSRIM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        lensrim_ = std::make_unique<child_program>(argv, child_environment(display_), -1,
                                                   stdout_path);
        const auto end = clock_type::now() + 30s;
        std::string window;
        while (clock_type::now() < end && lensrim_->running()) {
            if (window.empty()) {
                const program_result found = tool({"xdotool", "search", "--onlyvisible", "--name", "^lensrim$"});
                if (found.status == 0 && !found.out.empty())
                    window = found.out.substr(0, found.out.find('\n'));
            }
            if (!window.empty()) {
                const cv::Mat shot = grab({"-window", window});
                if (!shot.empty() && count_colour(shot, fill, 2) >= 20)
                    return window;
            }
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "lensrim showed no window with its photo (window id \"" << window
                      << "\"); its standard error: " << lensrim_->err_so_far();
        return {};
    }

    // Screenshot by ImageMagick's import ("-window root" or "-window <id>").
    cv::Mat grab(const std::vector<std::string>& what)
    {
        std::vector<std::string> args = {"import", "-silent"};
        args.insert(args.end(), what.begin(), what.end());
        const std::string file = dir_.path("shot.png");
        args.push_back(file);
        const program_result r = tool(args);
        if (r.status != 0)
            return {};
        return cv::imread(file, cv::IMREAD_COLOR);
    }

    // Types the keys (xdotool key names) into the window, one at a time,
    // then "q". The window goes as soon as "q" is pressed, so xdotool's
    // release of "q" may find no window: lensrim's own output and status
    // tell whether the quit arrived.
    void type_then_quit(const std::string& window, const std::vector<std::string>& keys)
    {
        const std::vector<std::string> xdotool_key = {"xdotool", "key", "--window", window, "--delay",
                                                      std::to_string(key_delay_ms)};
        if (!keys.empty()) {
            std::vector<std::string> args = xdotool_key;
            args.insert(args.end(), keys.begin(), keys.end());
            const program_result r = tool(args);
            EXPECT_EQ(r.status, 0) << "xdotool key: " << r.err;
            std::this_thread::sleep_for(std::chrono::milliseconds(key_delay_ms));
        }
        std::vector<std::string> args = xdotool_key;
        args.push_back("q");
        tool(args);
    }

    // Waits for lensrim to end and checks that its standard output is
    // exactly `line` and its exit status 0.
    void expect_result(const std::string& line)
    {
        const std::optional<program_result> result = lensrim_->wait_for(20s);
        ASSERT_TRUE(result) << "lensrim did not end after \"q\"";
        EXPECT_EQ(result->status, 0) << result->err;
        EXPECT_EQ(result->out, line);
    }

    // Runs a whole fitting session on a photo of `cols` x `rows` pixels.
    void fit(int cols, int rows, const std::vector<std::string>& keys, const std::string& line)
    {
        const std::string photo = dir_.path("photo.png");
        write_photo(photo, cols, rows);
        const std::string window = start_lensrim({photo}, cv::Vec3b(40, 90, 30));
        ASSERT_FALSE(window.empty());
        type_then_quit(window, keys);
        expect_result(line);
    }

    static std::string display_;
    static std::string xvfb_problem_;
    static std::unique_ptr<child_program> xvfb_;

    temp_dir dir_;
    std::unique_ptr<child_program> lensrim_;
};

std::string lensrim_window::display_;
std::string lensrim_window::xvfb_problem_;
std::unique_ptr<child_program> lensrim_window::xvfb_;

TEST_F(lensrim_window, worked_example_on_a_full_hd_photo)
{
    fit(1920, 1080, {"plus", "plus", "plus", "plus", "6", "6", "6", "8", "8", "minus"},
        "X 963, Y 538, R 363\n");
}

TEST_F(lensrim_window, quit_at_once_prints_the_initial_circle)
{
    fit(1920, 1080, {}, "X 960, Y 540, R 360\n");

    // A circle line that cannot be written is reported, with the circle, so
    // that the fit is not lost.
    const std::string photo = dir_.path("photo.png");
    const std::string window = start_lensrim({photo}, cv::Vec3b(40, 90, 30), "/dev/full");
    ASSERT_FALSE(window.empty());
    type_then_quit(window, {"plus"});
    const std::optional<program_result> result = lensrim_->wait_for(20s);
    ASSERT_TRUE(result) << "lensrim did not end after \"q\"";
    EXPECT_EQ(result->status, 1);
    EXPECT_NE(result->err.find("cannot write the circle line to standard output: No space left "
                               "on device; the circle is X 960, Y 540, R 361\n"),
              std::string::npos)
        << result->err;
}

TEST_F(lensrim_window, portrait_photo_and_extra_arguments)
{
    // The centre's column comes from the width, its row from the height;
    // only the first argument is read.
    const std::string portrait = dir_.path("portrait.png");
    write_photo(portrait, 1080, 1920);
    const std::string landscape = dir_.path("landscape.png");
    write_photo(landscape, 1920, 1080);
    const std::string window = start_lensrim({portrait, landscape, "more"},
                                             cv::Vec3b(40, 90, 30));
    ASSERT_FALSE(window.empty());
    type_then_quit(window, {});
    expect_result("X 540, Y 960, R 360\n");
}

TEST_F(lensrim_window, keys_outside_the_table_change_nothing)
{
    // 641 x 481 starts at 320, 240, 160; the last "6" shows the loop still
    // takes keys after all the others. Upper-case "Q" is left to the key
    // table test: OpenCV's Qt window reports Shift+Q with the code of "q".
    // The arrows arrive as 0xff51..0xff54, cut by cv::waitKey to the codes
    // of "Q".."T", which change nothing either.
    fit(641, 481,
        {"Escape", "equal", "0", "1", "3", "5", "7", "9", "a", "x", "space", "Return", "BackSpace",
         "Left", "Up", "Right", "Down", "6"},
        "X 321, Y 240, R 160\n");
}

TEST_F(lensrim_window, tiny_photo_below_radius_zero_and_off_the_photo)
{
    // 5 x 5 starts at 2, 2, 1. The radius stops at 0 (a negative one would
    // make the drawing call fail), and the centre leaves the photo to the
    // top-left, then to the bottom-right.
    fit(5, 5,
        {"minus", "minus", "minus", "plus", "minus", "minus", "4", "4", "4", "4", "8", "8", "8", "8", "8"},
        "X -2, Y -3, R 0\n");
    fit(5, 5, {"6", "6", "6", "6", "2", "2", "2", "2", "2", "2", "plus", "plus"}, "X 6, Y 8, R 3\n");
}

namespace {

// Where a flat grey photo (value 128) and the red circle drawn on it lie on
// a screenshot.
struct grey_scene {
    cv::Rect photo;  // bounding box of the grey pixels
    cv::Rect ring;   // bounding box of the red pixels
    std::size_t red = 0;
    std::size_t pure_red = 0;  // of those, exactly (0, 0, 255)

    cv::Point2d ring_centre() const { return (ring.tl() + ring.br()) * 0.5; }
    cv::Point2d photo_centre() const { return (photo.tl() + photo.br()) * 0.5; }
};

grey_scene find_grey_scene(const cv::Mat& screen)
{
    // The photo's area: the rows and columns with many grey pixels (a few
    // stray ones of that shade turn up in the window's toolbar text).
    std::vector<int> grey_in_row(screen.rows), grey_in_col(screen.cols);
    std::vector<cv::Point> red;
    grey_scene scene;
    for (int row = 0; row < screen.rows; ++row)
        for (int col = 0; col < screen.cols; ++col) {
            const cv::Vec3b p = screen.at<cv::Vec3b>(row, col);
            if (p[0] == 128 && p[1] == 128 && p[2] == 128) {
                ++grey_in_row[row];
                ++grey_in_col[col];
            } else if (p[2] >= 200 && p[1] <= 60 && p[0] <= 60) {
                red.emplace_back(col, row);
                scene.pure_red += p == cv::Vec3b(0, 0, 255);
            }
        }
    const auto span = [](const std::vector<int>& counts) {
        int first = -1, last = -1;
        for (int i = 0; i < int(counts.size()); ++i)
            if (counts[i] >= 50) {
                if (first < 0)
                    first = i;
                last = i;
            }
        return std::make_pair(first, last + 1);
    };
    const auto rows = span(grey_in_row);
    const auto cols = span(grey_in_col);
    if (rows.first >= 0 && cols.first >= 0)
        scene.photo = cv::Rect(cv::Point(cols.first, rows.first), cv::Point(cols.second, rows.second));
    if (!red.empty())
        scene.ring = cv::boundingRect(red);
    scene.red = red.size();
    return scene;
}

} // namespace

TEST_F(lensrim_window, red_circle_on_a_grey_photo)
{
    // A one-channel grey file: read as colour, so the circle is red.
    const std::string photo = dir_.path("grey.png");
    ASSERT_TRUE(cv::imwrite(photo, cv::Mat(240, 320, CV_8UC1, cv::Scalar(128))));
    const std::string window = start_lensrim({photo}, cv::Vec3b(128, 128, 128));
    ASSERT_FALSE(window.empty());

    // The whole screen as the operator sees it: the red circle lies on the
    // grey photo, a ring as wide as it is high, centred, about two thirds of
    // the photo's height across (161 of 240 rows; the window scales the
    // picture), and inside it the photo is untouched.
    const auto check_circle = [](const grey_scene& scene, const cv::Point2d& offset) {
        ASSERT_GE(scene.red, 100u);
        // The window shows the photo's own pixels, enlarged by repeating
        // them: the circle is pure red wherever it shows.
        EXPECT_EQ(scene.pure_red, scene.red) << "red pixels that are not exactly (0, 0, 255)";
        ASSERT_FALSE(scene.photo.empty());
        EXPECT_EQ(scene.ring & scene.photo, scene.ring) << "red pixels outside the photo";
        EXPECT_NEAR(scene.ring.width, scene.ring.height, 3) << "not one round circle";
        const double scale = scene.photo.height / 240.0;
        EXPECT_NEAR(scene.ring.height / scale, 161, 8);
        const cv::Point2d centre_shift = (scene.ring_centre() - scene.photo_centre()) / scale;
        EXPECT_NEAR(centre_shift.x, offset.x, 2);
        EXPECT_NEAR(centre_shift.y, offset.y, 2);
    };
    const cv::Mat first = grab({"-window", "root"});
    ASSERT_FALSE(first.empty()) << "import -window root failed";
    const grey_scene at_start = find_grey_scene(first);
    check_circle(at_start, {0, 0});
    EXPECT_EQ(first.at<cv::Vec3b>(cv::Point(at_start.ring_centre())), cv::Vec3b(128, 128, 128));

    // The window can be resized and the picture follows it. Moving the
    // circle leaves no trace of where it was: every pass redraws the photo.
    // (The window settles over a few frames, so each check waits for two
    // screenshots in a row to agree.)
    const auto settled = [&](const auto& done) {
        grey_scene last;
        const auto end = clock_type::now() + 20s;
        while (clock_type::now() < end) {
            const grey_scene scene = find_grey_scene(grab({"-window", "root"}));
            if (done(scene) && scene.photo == last.photo && scene.ring == last.ring)
                return scene;
            last = scene;
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << "the screen did not settle as expected";
        return last;
    };
    tool({"xdotool", "windowsize", window, "800", "700"});
    const grey_scene grown = settled([&](const grey_scene& scene) {
        return scene.photo.height > at_start.photo.height * 3 / 2 && scene.red >= 100;
    });
    check_circle(grown, {0, 0});

    tool({"xdotool", "key", "--window", window, "--delay", std::to_string(key_delay_ms), "4", "4", "4",
          "4", "4", "4", "4", "4", "4", "4", "4", "4"});
    const grey_scene moved = settled([&](const grey_scene& scene) {
        return scene.photo == grown.photo && scene.red >= 100 &&
               scene.ring_centre().x < grown.ring_centre().x - 6 * grown.photo.height / 240.0;
    });
    check_circle(moved, {-12, 0});

    type_then_quit(window, {});
    expect_result("X 148, Y 120, R 80\n");
}
