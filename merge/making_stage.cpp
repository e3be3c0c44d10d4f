#include "merge/making_stage.h"

#include <cstdio>
#include <utility>

#include "common/lens_geometry.h"
#include "merge/input_checks.h"

making_stage::making_stage(const pair_config& config, bool equirect_mode,
                           std::string output_video, stop_check stopped)
    : config_(config),
      equirect_mode_(equirect_mode),
      output_video_(std::move(output_video)),
      stopped_(std::move(stopped)),
      first_eye_(scale_circle(config.first.circle),
                 equirect_mode ? eye_view::equirectangular : eye_view::lens),
      second_eye_(scale_circle(config.second.circle),
                  equirect_mode ? eye_view::equirectangular : eye_view::lens)
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
    return squares_problem(config_, first_reader_.size(), second_reader_.size());
}

// Skips up to `count` frames without converting them; stops early once the
// video has none, or at a stop.
void making_stage::drop_frames(upright_video& reader, std::int32_t count)
{
    for (std::int32_t i = 0; i < count && !stopped(); ++i)
        if (!reader.grab())
            return;
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
    if (stopped())
        return false;
    if (!first_reader_.read(first_frame_))
        return false;
    if (!second_reader_.read(second_frame_))
        return false;

    // A video whose frame size changes mid-stream is caught here.
    problem = squares_problem(config_, first_frame_.size(), second_frame_.size());
    if (!problem.empty()) {
        problem += "; stopped after " + std::to_string(made_) + " frames, which " + output_video_ +
                   " keeps";
        return false;
    }

    if (equirect_mode_ && !table_requested_) {
        table_ = table_build_.get();
        if (!table_)
            report_table_allocation_failure();
        table_requested_ = true;
        first_eye_.use_table(table_.get());
        second_eye_.use_table(table_.get());
        std::fputs("made conversion table\n", stdout);
    }
    cv::Mat left = output_half(frame, 0);
    cv::Mat right = output_half(frame, 1);
    first_eye_.make(first_frame_, left);
    second_eye_.make(second_frame_, right);
    ++made_;
    return true;
}
