// The merge: each camera's stage on a thread of its own, their halves handed
// through the pipeline to the writing stage, with the checks that come
// before anything is written and the reports that come after.
#include "merge/merge_loop.h"

#include <cstdio>
#include <exception>
#include <future>
#include <memory>

#include <opencv2/core.hpp>

#include "common/frame_rate.h"
#include "frame/eye_maker.h"
#include "frame/fish2eqrec.h"
#include "merge/camera_stage.h"
#include "merge/input_checks.h"
#include "merge/pipeline.h"
#include "merge/stop_request.h"
#include "merge/writing_stage.h"

namespace {

// Reports `message`; the output, if open, is closed so that every frame
// written so far plays.
int fail(writing_stage& writing, const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    writing.release();
    return 1;
}

// The reports of the equirectangular view's table, made as each output
// frame is written: that it was made (or could not be), once, before the
// first; and with none, that each camera's half is black.
class table_reports {
public:
    explicit table_reports(std::shared_future<conv_table> table) : table_(std::move(table)) {}

    void before_frame()
    {
        if (!table_.valid())
            return;
        if (!reported_) {
            missing_ = !table_.get();
            if (missing_)
                report_table_allocation_failure();
            std::fputs("made conversion table\n", stdout);
            reported_ = true;
        }
        if (missing_) {
            report_empty_table();  // the first camera's half
            report_empty_table();  // the second's
        }
    }

    bool missing() const { return missing_; }

private:
    std::shared_future<conv_table> table_;
    bool reported_ = false;
    bool missing_ = false;
};

}  // namespace

int run_merge(const pair_config& config, const std::string& output_video, bool equirect_mode)
{
    pipeline_shape shape;
    shape.size = output_frame_size;
    shape.type = output_frame_type;
    shape.stop_requested = [] { return stop_signal() != 0; };

    // The table depends on the square's size alone, so it is built beside
    // the opening of the videos and the writer and the start drops; it is
    // taken (and its failure reported) at the first frame.
    std::shared_future<conv_table> table;
    if (equirect_mode)
        table = std::async(std::launch::async, [] {
                    return build_fish2eqrec_table(cv::Size(square_side, square_side),
                                                  cv::Size(square_side, square_side));
                }).share();
    const eye_view view = equirect_mode ? eye_view::equirectangular : eye_view::lens;
    const auto first = std::make_shared<camera_stage>(config.first, 0, view, table, output_video,
                                                      shape.stop_requested);
    const auto second = std::make_shared<camera_stage>(config.second, 1, view, table,
                                                       output_video, shape.stop_requested);
    writing_stage writing(output_video);
    table_reports reports(table);

    try {
        std::string problem = first->open();
        if (problem.empty())
            problem = second->open();
        if (!problem.empty())
            return fail(writing, problem);
        std::fprintf(stderr, "open %s\n", config.second.path.c_str());

        const double fps = first->frame_rate();
        problem = frame_rate_problem(config.first.path, fps);
        if (problem.empty())
            problem = squares_problem(config, first->announced_size(), second->announced_size());
        if (problem.empty())
            problem = writing.open(fps, config.first.path);
        if (!problem.empty())
            return fail(writing, problem);

        const making_end end = run_pipeline(
            shape,
            {[first](cv::Mat& frame, std::string& stopped) { return first->make(frame, stopped); },
             [second](cv::Mat& frame, std::string& stopped) { return second->make(frame, stopped); }},
            [&](const cv::Mat& frame) {
                reports.before_frame();
                return writing.write(frame);
            });

        const std::string unwritten = writing.unwritten();
        if (!unwritten.empty())
            return fail(writing, unwritten);
        if (end.fault)
            std::rethrow_exception(end.fault);
        if (!end.problem.empty())
            return fail(writing, end.problem);
    } catch (const cv::Exception& e) {
        std::fflush(stdout);
        return fail(writing, "OpenCV failed in " + e.func + ": " + e.err);
    }

    writing.print_total();
    const std::string unfinished = writing.finish();
    if (!unfinished.empty()) {
        std::fprintf(stderr, "%s\n", unfinished.c_str());
        return 1;
    }
    if (stop_signal() != 0)
        return 128 + stop_signal();
    return reports.missing() ? 1 : 0;
}
