// The merge: the making stage's frames handed through the pipeline to the
// writing stage, with the checks that come before anything is written and
// the reports that come after.
#include "merge/merge_loop.h"

#include <cstdio>
#include <exception>
#include <memory>

#include <opencv2/core.hpp>

#include "common/frame_rate.h"
#include "frame/eye_maker.h"
#include "merge/making_stage.h"
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

}  // namespace

int run_merge(const pair_config& config, const std::string& output_video, bool equirect_mode)
{
    pipeline_shape shape;
    shape.size = output_frame_size;
    shape.type = output_frame_type;
    shape.stop_requested = [] { return stop_signal() != 0; };
    const auto making =
        std::make_shared<making_stage>(config, equirect_mode, output_video, shape.stop_requested);
    writing_stage writing(output_video);
    bool table_missing = false;

    try {
        std::string problem = making->open_videos();
        if (!problem.empty())
            return fail(writing, problem);
        std::fprintf(stderr, "open %s\n", config.second.path.c_str());

        const double fps = making->frame_rate();
        problem = frame_rate_problem(config.first.path, fps);
        if (problem.empty())
            problem = making->announced_squares_problem();
        if (problem.empty())
            problem = writing.open(fps, config.first.path);
        if (!problem.empty())
            return fail(writing, problem);

        const making_end end = run_pipeline(
            shape,
            [making](cv::Mat& frame, std::string& stopped) { return making->make(frame, stopped); },
            [&writing](const cv::Mat& frame) { return writing.write(frame); });

        const std::string unwritten = writing.unwritten();
        if (!unwritten.empty())
            return fail(writing, unwritten);
        if (end.fault)
            std::rethrow_exception(end.fault);
        if (!end.problem.empty())
            return fail(writing, end.problem);
        // An abandoned maker still holds the stage: it is not looked at.
        table_missing = !end.abandoned && making->table_missing();
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
    return table_missing ? 1 : 0;
}
