#include "merge/merge_loop.h"

#include <cstdint>
#include <cstdio>

#include <sys/stat.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "merge/fish2eqrec.h"

namespace {

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Reads and drops up to `count` frames; stops early once the video has none.
void drop_frames(cv::VideoCapture& reader, std::int32_t count)
{
    for (std::int32_t i = 0; i < count; ++i) {
        cv::Mat frame;
        reader >> frame;
        if (frame.empty())
            return;
    }
}

std::string open_problem(cv::VideoCapture& reader, const std::string& path)
{
    reader.open(path, cv::CAP_ANY);
    return reader.isOpened() ? std::string() : "cannot open " + path;
}

// The frame size that the reader reports, or an empty size when it does not
// know it before the first frame.
cv::Size reported_size(cv::VideoCapture& reader)
{
    return cv::Size(static_cast<int>(reader.get(cv::CAP_PROP_FRAME_WIDTH)),
                    static_cast<int>(reader.get(cv::CAP_PROP_FRAME_HEIGHT)));
}

}  // namespace

cv::Mat crop_eye(const cv::Mat& frame, const image_circle& circle)
{
    const cv::Mat square =
        frame(cv::Rect(circle.x - circle.r, circle.y - circle.r, 2 * circle.r, 2 * circle.r));
    cv::Mat scaled(square_side, square_side, CV_8UC3);
    cv::resize(square, scaled, cv::Size(square_side, square_side), 2.0, 0.0, cv::INTER_LINEAR);
    return scaled;
}

std::string square_problem(const std::string& video, const image_circle& circle,
                           cv::Size frame_size)
{
    if (circle.r < 1)
        return video + ": the scaled radius " + std::to_string(circle.r) +
               " (R * 180 / 220) is below 1 pixel; the circle's R must be at least 2";
    const std::int64_t left = std::int64_t{circle.x} - circle.r;
    const std::int64_t right = std::int64_t{circle.x} + circle.r;
    const std::int64_t top = std::int64_t{circle.y} - circle.r;
    const std::int64_t bottom = std::int64_t{circle.y} + circle.r;
    if (left >= 0 && top >= 0 && right <= frame_size.width && bottom <= frame_size.height)
        return std::string();
    return video + ": the square around X " + std::to_string(circle.x) + ", Y " +
           std::to_string(circle.y) + " with scaled radius " + std::to_string(circle.r) +
           " (columns " + std::to_string(left) + " to " + std::to_string(right - 1) +
           ", rows " + std::to_string(top) + " to " + std::to_string(bottom - 1) +
           ") does not lie inside the " + std::to_string(frame_size.width) + " x " +
           std::to_string(frame_size.height) + " frame";
}

std::string output_clash(const std::string& output_video, const std::string& config_file,
                         const pair_config& config)
{
    const char* refusal = "; choose another output path";
    if (same_file(output_video, config_file))
        return "output video " + output_video + " is the configuration file " + config_file +
               refusal;
    if (same_file(output_video, config.first.path))
        return "output video " + output_video + " is the first camera's video " +
               config.first.path + refusal;
    if (same_file(output_video, config.second.path))
        return "output video " + output_video + " is the second camera's video " +
               config.second.path + refusal;
    return std::string();
}

int run_merge(const pair_config& config, const std::string& output_video, bool equirect_mode)
{
    cv::VideoCapture first_reader;
    cv::VideoCapture second_reader;
    cv::VideoWriter writer;
    conv_table table;
    bool table_requested = false;
    std::int32_t frame_count = 0;

    auto fail = [&](const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
        writer.release();  // keeps every frame written so far playable
        return 1;
    };

    try {
        std::string problem = open_problem(first_reader, config.first.path);
        if (problem.empty())
            problem = open_problem(second_reader, config.second.path);
        if (!problem.empty())
            return fail(problem);
        std::fprintf(stderr, "open %s\n", config.second.path.c_str());

        const double fps = first_reader.get(cv::CAP_PROP_FPS);

        // Check both squares against the frame sizes the videos announce, so
        // that a circle that does not fit is reported before anything is
        // written.
        for (const auto* eye : {&config.first, &config.second}) {
            cv::VideoCapture& reader = eye == &config.first ? first_reader : second_reader;
            const cv::Size size = reported_size(reader);
            if (size.width > 0 && size.height > 0)
                problem = square_problem(eye->path, eye->circle, size);
            if (!problem.empty())
                return fail(problem);
        }

        writer.open(output_video, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), fps,
                    cv::Size(2 * square_side, square_side), true);
        if (!writer.isOpened())
            return fail("cannot open output video " + output_video);

        drop_frames(first_reader, config.first.start);
        drop_frames(second_reader, config.second.start);

        for (;;) {
            cv::Mat first_frame;
            first_reader >> first_frame;
            if (first_frame.empty())
                break;
            cv::Mat second_frame;
            second_reader >> second_frame;
            if (second_frame.empty())
                break;

            // A video whose frame size changes mid-stream is caught here.
            problem = square_problem(config.first.path, config.first.circle, first_frame.size());
            if (problem.empty())
                problem =
                    square_problem(config.second.path, config.second.circle, second_frame.size());
            if (!problem.empty())
                return fail(problem + "; stopped after " + std::to_string(frame_count) +
                            " frames, which " + output_video + " keeps");

            cv::Mat first_image = crop_eye(first_frame, config.first.circle);
            cv::Mat second_image = crop_eye(second_frame, config.second.circle);

            if (equirect_mode) {
                cv::Mat first_eq(square_side, square_side, CV_8UC3);
                cv::Mat second_eq(square_side, square_side, CV_8UC3);
                if (!table_requested) {
                    table = make_fish2eqrec_table(first_image, first_eq);
                    table_requested = true;
                    std::fputs("made conversion table\n", stdout);
                }
                if (!table) {
                    // Nothing will fill them: write black rather than
                    // whatever the memory held.
                    first_eq.setTo(cv::Scalar::all(0));
                    second_eq.setTo(cv::Scalar::all(0));
                }
                fish2eqrec_18(first_eq, first_image, table.get());
                fish2eqrec_18(second_eq, second_image, table.get());
                first_image = first_eq;
                second_image = second_eq;
            }

            cv::Mat output_frame(square_side, 2 * square_side, CV_8UC3);
            first_image.copyTo(output_frame(cv::Rect(0, 0, square_side, square_side)));
            second_image.copyTo(output_frame(cv::Rect(square_side, 0, square_side, square_side)));
            writer << output_frame;

            ++frame_count;
            std::printf("%d\r", frame_count);
            std::fflush(stdout);
        }
    } catch (const cv::Exception& e) {
        std::fflush(stdout);
        return fail("OpenCV failed in " + e.func + ": " + e.err);
    }

    std::printf("%d frames\n", frame_count);
    const bool table_missing = equirect_mode && table_requested && !table;
    table.reset();
    writer.release();
    second_reader.release();
    first_reader.release();
    return table_missing ? 1 : 0;
}
