// Runs the real lensrim program. The command-line failures need no display;
// the fitting runs start a private Xvfb server, find lensrim's window with
// xdotool, type keys into it and photograph the screen with ImageMagick's
// import. A missing Xvfb, xdotool or import fails these tests: they never
// skip.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/run_program.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// Pause between two key presses. lensrim keeps one key per 1 ms wait and
// the window toolkit keeps only the latest press it has seen, so presses
// that arrive together would be lost.
constexpr int key_delay_ms = 100;

// The test's environment without any display; `display` (":N") adds one.
std::vector<std::string> child_environment(const std::string& display)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
            entry.rfind("QT_QPA_PLATFORM=", 0) == 0)
            continue;
        env.push_back(entry);
    }
    if (!display.empty())
        env.push_back("DISPLAY=" + display);
    return env;
}

// A child process, killed and reaped when the object goes if it is still
// running.
class child_process {
public:
    // Starts args[0] (looked up in PATH) with standard input from /dev/null
    // and standard output and error into the given files. `keep_fd`, when
    // not -1, stays open in the child under its own number.
    child_process(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const fs::path& out, const fs::path& err, int keep_fd = -1)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (keep_fd != -1)
            fcntl(keep_fd, F_SETFD, 0);
        pid_t pid = -1;
        const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc == 0)
            pid_ = pid;
        else
            spawn_error_ = std::strerror(rc);
    }

    ~child_process() { kill_now(); }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool started() const { return pid_ > 0 || status_; }
    const std::string& spawn_error() const { return spawn_error_; }
    bool running() { return pid_ > 0 && !poll_exit(); }

    // The exit status (128 + signal number for a signal), or nothing if the
    // process is still running after `timeout`.
    std::optional<int> wait(clock_type::duration timeout)
    {
        const auto end = clock_type::now() + timeout;
        while (!poll_exit()) {
            if (clock_type::now() >= end)
                return std::nullopt;
            std::this_thread::sleep_for(10ms);
        }
        return status_;
    }

    void terminate(clock_type::duration grace = 3s)
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        if (!wait(grace))
            kill_now();
    }

    void kill_now()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        int raw = 0;
        waitpid(pid_, &raw, 0);
        pid_ = -1;
    }

private:
    bool poll_exit()
    {
        if (pid_ <= 0)
            return true;
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) != pid_)
            return false;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        pid_ = -1;
        return true;
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string spawn_error_;
};

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

class scratch_dir {
public:
    scratch_dir()
    {
        std::string pattern = (fs::temp_directory_path() / "lensrim-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
    }
    ~scratch_dir()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    fs::path operator/(const std::string& name) const { return dir_ / name; }

private:
    fs::path dir_;
};

// Runs a program to its end (at most `timeout`) and collects its output.
run_result run_to_end(const scratch_dir& dir, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, clock_type::duration timeout = 30s)
{
    run_result result;
    child_process child(args, env, dir / "run.out", dir / "run.err");
    if (!child.started()) {
        ADD_FAILURE() << "cannot start " << args[0] << ": " << child.spawn_error();
        return result;
    }
    const std::optional<int> status = child.wait(timeout);
    if (!status) {
        ADD_FAILURE() << args[0] << " did not end within the time limit";
        child.kill_now();
        return result;
    }
    result.status = *status;
    result.out = read_file(dir / "run.out");
    result.err = read_file(dir / "run.err");
    return result;
}

// A photo of one flat colour, written as a file lensrim reads.
void write_photo(const fs::path& path, int cols, int rows, const cv::Scalar& colour = cv::Scalar(40, 90, 30))
{
    const cv::Mat photo(rows, cols, CV_8UC3, colour);
    ASSERT_TRUE(cv::imwrite(path.string(), photo)) << path;
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
    scratch_dir dir;
    const std::vector<std::string> env = child_environment("");

    run_result r = run_to_end(dir, {LENSRIM_PATH}, env);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "usage lensrim in_photo\n");
    EXPECT_EQ(r.out, "");

    const std::string missing = (dir / "no such dir" / "photo.png").string();
    const std::string text = (dir / "notes.png").string();
    write_file(text, "X 962, Y 538, R 600\nthis is not an image\n");
    const std::string empty = (dir / "empty.jpg").string();
    write_file(empty, "");
    for (const std::string& photo : {missing, text, empty, std::string("")}) {
        r = run_to_end(dir, {LENSRIM_PATH, photo, "extra"}, env);
        EXPECT_EQ(r.status, 1) << photo;
        EXPECT_EQ(r.err, "cannot read photo " + photo + "\n");
        EXPECT_EQ(r.out, "") << photo;
    }
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
        xvfb_dir_.reset();
    }

    void SetUp() override
    {
        ASSERT_FALSE(display_.empty()) << "no X server for the window tests: " << xvfb_problem_;
    }

    // Starts Xvfb on a display number that the server itself picks as free
    // and reports through a pipe once it accepts connections.
    static std::string start_xvfb()
    {
        xvfb_dir_ = std::make_unique<scratch_dir>();
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            xvfb_problem_ = "pipe failed";
            return {};
        }
        xvfb_ = std::make_unique<child_process>(
            std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                     "1024x768x24", "-nolisten", "tcp", "-noreset"},
            child_environment(""), *xvfb_dir_ / "xvfb.out", *xvfb_dir_ / "xvfb.err", fds[1]);
        close(fds[1]);
        if (!xvfb_->started()) {
            close(fds[0]);
            xvfb_problem_ = "cannot start Xvfb (package xvfb): " + xvfb_->spawn_error();
            return {};
        }
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
            xvfb_problem_ = "Xvfb reported no display: " + read_file(*xvfb_dir_ / "xvfb.err");
            xvfb_->terminate();
            return {};
        }
        return ":" + number;
    }

    // Output of a helper program (xdotool, import) run on the test display.
    run_result tool(const std::vector<std::string>& args)
    {
        return run_to_end(dir_, args, child_environment(display_));
    }

    // Starts lensrim on the display, waits for its window to be mapped and
    // for the photo to be on screen (pixels of `fill` in the window), and
    // returns the window id. The loop runs from then on, so keys are taken.
    std::string start_lensrim(const std::vector<std::string>& args, const cv::Vec3b& fill)
    {
        std::vector<std::string> argv = {LENSRIM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        lensrim_ = std::make_unique<child_process>(argv, child_environment(display_), dir_ / "lensrim.out",
                                                   dir_ / "lensrim.err");
        if (!lensrim_->started()) {
            ADD_FAILURE() << "cannot start lensrim: " << lensrim_->spawn_error();
            return {};
        }
        const auto end = clock_type::now() + 30s;
        std::string window;
        while (clock_type::now() < end && lensrim_->running()) {
            if (window.empty()) {
                const run_result found = tool({"xdotool", "search", "--onlyvisible", "--name", "^lensrim$"});
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
                      << "\"); its standard error: " << read_file(dir_ / "lensrim.err");
        return {};
    }

    // Screenshot by ImageMagick's import ("-window root" or "-window <id>").
    cv::Mat grab(const std::vector<std::string>& what)
    {
        std::vector<std::string> args = {"import", "-silent"};
        args.insert(args.end(), what.begin(), what.end());
        const std::string file = (dir_ / "shot.png").string();
        args.push_back(file);
        const run_result r = tool(args);
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
            const run_result r = tool(args);
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
        const std::optional<int> status = lensrim_->wait(20s);
        ASSERT_TRUE(status) << "lensrim did not end after \"q\"";
        EXPECT_EQ(*status, 0) << read_file(dir_ / "lensrim.err");
        EXPECT_EQ(read_file(dir_ / "lensrim.out"), line);
    }

    // Runs a whole fitting session on a photo of `cols` x `rows` pixels.
    void fit(int cols, int rows, const std::vector<std::string>& keys, const std::string& line)
    {
        const fs::path photo = dir_ / "photo.png";
        write_photo(photo, cols, rows);
        const std::string window = start_lensrim({photo.string()}, cv::Vec3b(40, 90, 30));
        ASSERT_FALSE(window.empty());
        type_then_quit(window, keys);
        expect_result(line);
    }

    static std::string display_;
    static std::string xvfb_problem_;
    static std::unique_ptr<scratch_dir> xvfb_dir_;
    static std::unique_ptr<child_process> xvfb_;

    scratch_dir dir_;
    std::unique_ptr<child_process> lensrim_;
};

std::string lensrim_window::display_;
std::string lensrim_window::xvfb_problem_;
std::unique_ptr<scratch_dir> lensrim_window::xvfb_dir_;
std::unique_ptr<child_process> lensrim_window::xvfb_;

TEST_F(lensrim_window, worked_example_on_a_full_hd_photo)
{
    fit(1920, 1080, {"plus", "plus", "plus", "plus", "6", "6", "6", "8", "8", "minus"},
        "X 963, Y 538, R 363\n");
}

TEST_F(lensrim_window, quit_at_once_prints_the_initial_circle)
{
    fit(1920, 1080, {}, "X 960, Y 540, R 360\n");
}

TEST_F(lensrim_window, portrait_photo_and_extra_arguments)
{
    // The centre's column comes from the width, its row from the height;
    // only the first argument is read.
    const fs::path portrait = dir_ / "portrait.png";
    write_photo(portrait, 1080, 1920);
    const fs::path landscape = dir_ / "landscape.png";
    write_photo(landscape, 1920, 1080);
    const std::string window = start_lensrim({portrait.string(), landscape.string(), "more"},
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

    cv::Point2d ring_centre() const { return (ring.tl() + ring.br()) * 0.5; }
    cv::Point2d photo_centre() const { return (photo.tl() + photo.br()) * 0.5; }
};

grey_scene find_grey_scene(const cv::Mat& screen)
{
    // The photo's area: the rows and columns with many grey pixels (a few
    // stray ones of that shade turn up in the window's toolbar text).
    std::vector<int> grey_in_row(screen.rows), grey_in_col(screen.cols);
    std::vector<cv::Point> red;
    for (int row = 0; row < screen.rows; ++row)
        for (int col = 0; col < screen.cols; ++col) {
            const cv::Vec3b p = screen.at<cv::Vec3b>(row, col);
            if (p[0] == 128 && p[1] == 128 && p[2] == 128) {
                ++grey_in_row[row];
                ++grey_in_col[col];
            } else if (p[2] >= 200 && p[1] <= 60 && p[0] <= 60) {
                red.emplace_back(col, row);
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
    grey_scene scene;
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
    const fs::path photo = dir_ / "grey.png";
    ASSERT_TRUE(cv::imwrite(photo.string(), cv::Mat(240, 320, CV_8UC1, cv::Scalar(128))));
    const std::string window = start_lensrim({photo.string()}, cv::Vec3b(128, 128, 128));
    ASSERT_FALSE(window.empty());

    // The whole screen as the operator sees it: the red circle lies on the
    // grey photo, a ring as wide as it is high, centred, about two thirds of
    // the photo's height across (161 of 240 rows; the window scales the
    // picture), and inside it the photo is untouched.
    const auto check_circle = [](const grey_scene& scene, const cv::Point2d& offset) {
        ASSERT_GE(scene.red, 100u);
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
