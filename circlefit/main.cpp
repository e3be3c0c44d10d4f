// lensrim: shows one still photo with a red circle that the operator moves
// and resizes with keys until it lies on the lens's image circle, then
// prints the circle as the line that the pair configuration file takes.
//
//   lensrim in_photo
//
// Keys: + / - radius, 2 / 4 / 6 / 8 down / left / right / up, q quit.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "circlefit/circle_keys.h"
#include "circlefit/picture_fit.h"
#include "common/image_circle.h"
#include "common/process_setup.h"

namespace {

constexpr char window_title[] = "lensrim";
const cv::Scalar circle_colour(0, 0, 255, 0); // pure red in blue-green-red order
constexpr int circle_thickness = 1;
constexpr int circle_shift = 0;
constexpr int key_wait_ms = 1;

bool env_set(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The window toolkit aborts the process when it cannot reach the display
// that DISPLAY names; this turns that into a message and exit status 1.
// Only the async-signal-safe write and _exit are used.
std::string unreachable_display_message;

extern "C" void report_unreachable_display(int)
{
    const std::string& m = unreachable_display_message;
    if (::write(STDERR_FILENO, m.data(), m.size()) < 0) {
        // nothing more can be said
    }
    ::_exit(1);
}

// Opens the window, or ends the program with a message when there is no
// display to open it on.
void open_window()
{
    // Qt needs no display when told to draw elsewhere (QT_QPA_PLATFORM).
    if (!env_set("DISPLAY") && !env_set("WAYLAND_DISPLAY") && !env_set("QT_QPA_PLATFORM")) {
        std::fputs("cannot open a window: no display (neither DISPLAY nor WAYLAND_DISPLAY is "
                   "set)\n",
                   stderr);
        std::exit(1);
    }
    const char* display = std::getenv("DISPLAY");
    unreachable_display_message = "cannot open a window on display " +
                                  std::string(display != nullptr ? display : "") + "\n";
    struct sigaction catch_abort {};
    struct sigaction previous {};
    catch_abort.sa_handler = report_unreachable_display;
    sigemptyset(&catch_abort.sa_mask);
    sigaction(SIGABRT, &catch_abort, &previous);
    cv::namedWindow(window_title, cv::WINDOW_NORMAL);
    sigaction(SIGABRT, &previous, nullptr);
}

// Prints the circle line; on failure says so, with the circle, so that the
// fit is not lost.
bool print_circle(const image_circle& circle)
{
    errno = 0;
    if (print_image_circle(stdout, circle) >= 0 && std::fflush(stdout) == 0)
        return true;
    const int error = errno;
    std::fprintf(stderr, "cannot write the circle line to standard output: %s; the circle is ",
                 error != 0 ? std::strerror(error) : "write error");
    print_image_circle(stderr, circle);
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage lensrim in_photo\n", stderr);
        return 1;
    }
    // The console carries this program's own texts only, not OpenCV's log
    // lines (imread's complaint about a missing file, for one).
    silence_opencv_log();

    cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "cannot read photo %s\n", argv[1]);
        return 1;
    }
    // The circle line must be able to go somewhere: a closed standard output
    // would also let the window's connection take its place.
    if (::fcntl(STDOUT_FILENO, F_GETFL) < 0) {
        std::fputs("cannot write the circle line: standard output is closed\n", stderr);
        return 1;
    }
    // A reader of the circle line that has gone is reported, not a cause to
    // die silently.
    std::signal(SIGPIPE, SIG_IGN);

    image_circle circle = initial_circle(photo.size());
    cv::Mat display;
    cv::Mat enlarged;
    open_window();

    // Every pass starts from a clean copy of the photo, so only the current
    // circle is ever visible; a window wider than the photo gets the picture
    // enlarged to its width (see picture_fit.h). The 1 ms key wait is also
    // what keeps the window alive.
    do {
        photo.copyTo(display);
        cv::circle(display, cv::Point(circle.x, circle.y), circle.r, circle_colour,
                   circle_thickness, cv::LINE_8, circle_shift);
        const cv::Size shown = enlarged_to_width(
            photo.size(), picture_area_width(cv::getWindowImageRect(window_title)));
        if (shown == photo.size()) {
            cv::imshow(window_title, display);
        } else {
            cv::resize(display, enlarged, shown, 0, 0, cv::INTER_NEAREST);
            cv::imshow(window_title, enlarged);
        }
    } while (apply_key(circle, cv::waitKey(key_wait_ms)));

    const bool printed = print_circle(circle);
    cv::destroyWindow(window_title);
    photo.release();
    display.release();
    enlarged.release();
    return printed ? 0 : 1;
}
