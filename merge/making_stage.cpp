#include "merge/making_stage.h"

#include <cstdio>
#include <utility>

#include "merge/input_checks.h"
#include "merge/lens_geometry.h"
#include "merge/stop_request.h"

namespace {

// Skips up to `count` frames without converting them; stops early once the
// video has none, or at a stop.
void drop_frames(upright_video& reader, std::int32_t count)
{
    for (std::int32_t i = 0; i < count && stop_signal() == 0; ++i)
        if (!reader.grab())
            return;
}

}  // namespace

making_stage::making_stage(const pair_config& config, bool equirect_mode,
                           std::string output_video)
    : config_(config), equirect_mode_(equirect_mode), output_video_(std::move(output_video))
{
    if (equirect_mode_)
        table_build_ = std::async(std::launch::async, [] {
            return build_fish2eqrec_table(cv::Size(square_side, square_side),
                                          cv::Size(square_side, square_side));
        });
}

std::string making_stage::open_videos()
{
    std::string problem = open_problem(first_reader_, config_.first.path);
    if (problem.empty())
        problem = open_problem(second_reader_, config_.second.path);
    return problem;
}

double making_stage::frame_rate()
{
    return first_reader_.get(cv::CAP_PROP_FPS);
}

std::string making_stage::announced_squares_problem()
{
    return squares_problem(config_, reported_size(first_reader_), reported_size(second_reader_));
}

void making_stage::drop_start_frames()
{
    drop_frames(first_reader_, config_.first.start);
    drop_frames(second_reader_, config_.second.start);
    dropped_ = true;
}

bool making_stage::make(cv::Mat& frame, std::string& problem)
{
    if (!dropped_)
        drop_start_frames();
    if (stop_signal() != 0)
        return false;
    if (!first_reader_.read(images_.first_frame))
        return false;
    if (!second_reader_.read(images_.second_frame))
        return false;

    // A video whose frame size changes mid-stream is caught here.
    problem = squares_problem(config_, images_.first_frame.size(), images_.second_frame.size());
    if (!problem.empty()) {
        problem += "; stopped after " + std::to_string(made_) + " frames, which " + output_video_ +
                   " keeps";
        return false;
    }

    use_output(images_, frame);
    if (equirect_mode_) {
        if (!table_requested_) {
            table_ = table_build_.get();
            if (!table_)
                report_table_allocation_failure();
            table_requested_ = true;
            std::fputs("made conversion table\n", stdout);
        }
        remap_squares(images_, config_.first.circle, config_.second.circle, table_.get());
    } else {
        scale_squares(images_, config_.first.circle, config_.second.circle);
    }
    ++made_;
    return true;
}
