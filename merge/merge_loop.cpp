#include "merge/merge_loop.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <future>
#include <optional>

#include <opencv2/videoio.hpp>

#include "merge/fish2eqrec.h"
#include "merge/frame_work.h"
#include "merge/input_checks.h"
#include "merge/output_path.h"
#include "merge/output_video.h"
#include "merge/pipeline.h"
#include "merge/stop_request.h"

namespace {

// Skips up to `count` frames without converting them; stops early once the
// video has none.
void drop_frames(cv::VideoCapture& reader, std::int32_t count)
{
    for (std::int32_t i = 0; i < count && stop_signal() == 0; ++i)
        if (!reader.grab())
            return;
}

}  // namespace

int run_merge(const pair_config& config, const std::string& output_video, bool equirect_mode)
{
    cv::VideoCapture first_reader;
    cv::VideoCapture second_reader;
    cv::VideoWriter writer;
    conv_table table;
    bool table_requested = false;
    std::int32_t frame_count = 0;
    std::optional<output_watch> watch;

    // The table depends on the square's size alone, so it is built from
    // the start, beside the opening of the videos and the writer, the drops
    // and the first frame pair's reading; it is taken (and its failure
    // reported) at the first frame pair, as if built there.
    std::future<conv_table> table_build;
    if (equirect_mode)
        table_build = std::async(std::launch::async, [] {
            return build_fish2eqrec_table(cv::Size(square_side, square_side),
                                          cv::Size(square_side, square_side));
        });

    auto unwritable = [&](const std::string& cause) {
        return "cannot write output video " + output_video + ": " + cause;
    };
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

        // The making stage: the readers, the images of a frame pair and the
        // table are its own until the pipeline has ended.
        merge_images images;
        bool dropped = false;
        std::int32_t made = 0;
        const make_frame make = [&](cv::Mat& frame, std::string& stopped) {
            if (!dropped) {
                drop_frames(first_reader, config.first.start);
                drop_frames(second_reader, config.second.start);
                dropped = true;
            }
            if (stop_signal() != 0)
                return false;
            first_reader >> images.first_frame;
            if (images.first_frame.empty())
                return false;
            second_reader >> images.second_frame;
            if (images.second_frame.empty())
                return false;

            // A video whose frame size changes mid-stream is caught here.
            stopped = squares_problem(config, images.first_frame.size(),
                                      images.second_frame.size());
            if (!stopped.empty()) {
                stopped += "; stopped after " + std::to_string(made) + " frames, which " +
                           output_video + " keeps";
                return false;
            }

            use_output(images, frame);
            if (equirect_mode) {
                if (!table_requested) {
                    table = table_build.get();
                    if (!table)
                        report_table_allocation_failure();
                    table_requested = true;
                    std::fputs("made conversion table\n", stdout);
                }
                remap_squares(images, config.first.circle, config.second.circle, table.get());
            } else {
                scale_squares(images, config.first.circle, config.second.circle);
            }
            ++made;
            return true;
        };

        // The writing stage, on this thread: the writer is its own.
        std::string unwritten;
        const write_frame write = [&](const cv::Mat& frame) {
            writer << frame;
            unwritten = watch->after_frame();
            if (!unwritten.empty())
                return false;
            ++frame_count;
            std::printf("%d\r", frame_count);
            std::fflush(stdout);
            return true;
        };

        const making_end end = run_pipeline(frames_in_flight, cv::Size(2 * square_side, square_side),
                                            CV_8UC3, make, write);
        if (!unwritten.empty())
            return fail(unwritable(unwritten));
        if (end.fault)
            std::rethrow_exception(end.fault);
        if (!end.problem.empty())
            return fail(end.problem);
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
        std::fprintf(stderr, "%s\n", unwritable(unfinished).c_str());
        return 1;
    }
    if (stop_signal() != 0)
        return 128 + stop_signal();
    return table_missing ? 1 : 0;
}
