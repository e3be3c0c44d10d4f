#include "merge/merge_loop.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include <sys/stat.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "merge/fish2eqrec.h"
#include "merge/output_video.h"
#include "merge/stop_request.h"

namespace {

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Reads and drops up to `count` frames; stops early once the video has none.
void drop_frames(cv::VideoCapture& reader, std::int32_t count, cv::Mat& frame)
{
    for (std::int32_t i = 0; i < count && stop_signal() == 0; ++i) {
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

// Why either camera's square cannot be cut from frames of the given size; an
// empty size (not known yet) is not checked. Empty when both can.
std::string squares_problem(const pair_config& config, cv::Size first_size,
                            cv::Size second_size)
{
    std::string problem;
    if (!first_size.empty())
        problem = square_problem(config.first.path, config.first.circle, first_size);
    if (problem.empty() && !second_size.empty())
        problem = square_problem(config.second.path, config.second.circle, second_size);
    return problem;
}

// The output frame and the views of its halves, made on the first frame pair.
void allocate_output(merge_images& images)
{
    if (!images.output.empty())
        return;
    images.output.create(square_side, 2 * square_side, CV_8UC3);
    images.left = images.output(cv::Rect(0, 0, square_side, square_side));
    images.right = images.output(cv::Rect(square_side, 0, square_side, square_side));
}

}  // namespace

void crop_eye_into(const cv::Mat& frame, const image_circle& circle, cv::Mat& destination)
{
    const cv::Mat square =
        frame(cv::Rect(circle.x - circle.r, circle.y - circle.r, 2 * circle.r, 2 * circle.r));
    cv::resize(square, destination, cv::Size(square_side, square_side), 2.0, 0.0,
               cv::INTER_LINEAR);
}

cv::Mat crop_eye(const cv::Mat& frame, const image_circle& circle)
{
    cv::Mat scaled(square_side, square_side, CV_8UC3);
    crop_eye_into(frame, circle, scaled);
    return scaled;
}

void scale_squares(merge_images& images, const image_circle& first, const image_circle& second)
{
    allocate_output(images);
    crop_eye_into(images.first_frame, first, images.left);
    crop_eye_into(images.second_frame, second, images.right);
}

const cv::Mat& square_for_table(merge_images& images)
{
    allocate_output(images);
    images.square.create(square_side, square_side, CV_8UC3);
    return images.square;
}

void remap_squares(merge_images& images, const image_circle& first, const image_circle& second,
                   const conv_entry* table)
{
    square_for_table(images);
    if (table == nullptr)
        images.output.setTo(cv::Scalar::all(0));
    crop_eye_into(images.first_frame, first, images.square);
    fish2eqrec_18(images.left, images.square, table);
    crop_eye_into(images.second_frame, second, images.square);
    fish2eqrec_18(images.right, images.square, table);
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
    std::optional<output_watch> watch;

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
        problem = squares_problem(config, reported_size(first_reader),
                                  reported_size(second_reader));
        if (!problem.empty())
            return fail(problem);

        problem = output_extension_problem(output_video);
        if (!problem.empty())
            return fail("cannot open output video " + output_video + ": " + problem);
        writer.open(output_video, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), fps,
                    cv::Size(2 * square_side, square_side), true);
        if (!writer.isOpened())
            return fail("cannot open output video " + output_video + ": " +
                        output_open_problem(output_video));
        watch.emplace(output_video);

        merge_images images;
        drop_frames(first_reader, config.first.start, images.first_frame);
        drop_frames(second_reader, config.second.start, images.second_frame);

        while (stop_signal() == 0) {
            first_reader >> images.first_frame;
            if (images.first_frame.empty())
                break;
            second_reader >> images.second_frame;
            if (images.second_frame.empty())
                break;

            // A video whose frame size changes mid-stream is caught here.
            problem = squares_problem(config, images.first_frame.size(),
                                      images.second_frame.size());
            if (!problem.empty())
                return fail(problem + "; stopped after " + std::to_string(frame_count) +
                            " frames, which " + output_video + " keeps");

            if (equirect_mode) {
                if (!table_requested) {
                    table = make_fish2eqrec_table(square_for_table(images), images.left);
                    table_requested = true;
                    std::fputs("made conversion table\n", stdout);
                }
                remap_squares(images, config.first.circle, config.second.circle, table.get());
            } else {
                scale_squares(images, config.first.circle, config.second.circle);
            }
            writer << images.output;
            problem = watch->after_frame();
            if (!problem.empty())
                return fail("cannot write output video " + output_video + ": " + problem);

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

    // The writer reports nothing of its own: a file ending that could not
    // be written shows only in the finished file.
    const std::string unfinished = watch ? watch->check_finished(frame_count) : std::string();
    if (!unfinished.empty()) {
        std::fprintf(stderr, "cannot write output video %s: %s\n", output_video.c_str(),
                     unfinished.c_str());
        return 1;
    }
    if (stop_signal() != 0)
        return 128 + stop_signal();
    return table_missing ? 1 : 0;
}
