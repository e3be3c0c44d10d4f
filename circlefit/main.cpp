// lensrim: shows one still photo with a red circle that the operator moves
// and resizes with keys until it lies on the lens's image circle, then
// prints the circle as the line that the pair configuration file takes.
//
//   lensrim in_photo
//
// Keys: + / - radius, 2 / 4 / 6 / 8 down / left / right / up, q quit.

#include <cstdio>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "circlefit/circle_keys.h"
#include "common/image_circle.h"

namespace {

constexpr char window_title[] = "lensrim";
const cv::Scalar circle_colour(0, 0, 255, 0); // pure red in blue-green-red order
constexpr int circle_thickness = 1;
constexpr int circle_shift = 0;
constexpr int key_wait_ms = 1;

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage lensrim in_photo\n", stderr);
        return 1;
    }
    // The console carries this program's own texts only, not OpenCV's log
    // lines (imread's complaint about a missing file, for one).
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (photo.empty()) {
        std::fprintf(stderr, "cannot read photo %s\n", argv[1]);
        return 1;
    }
    image_circle circle = initial_circle(photo.size());
    cv::Mat display;
    cv::namedWindow(window_title, cv::WINDOW_NORMAL);

    // Every pass starts from a clean copy of the photo, so only the current
    // circle is ever visible. The 1 ms key wait is also what keeps the
    // window alive.
    do {
        photo.copyTo(display);
        cv::circle(display, cv::Point(circle.x, circle.y), circle.r, circle_colour,
                   circle_thickness, cv::LINE_8, circle_shift);
        cv::imshow(window_title, display);
    } while (apply_key(circle, cv::waitKey(key_wait_ms)));

    print_image_circle(stdout, circle);
    std::fflush(stdout);
    cv::destroyWindow(window_title);
    photo.release();
    display.release();
    return 0;
}
