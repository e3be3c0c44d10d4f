#include "merge/writing_stage.h"

#include <cstdio>
#include <utility>

#include <sys/stat.h>

#include "merge/lens_geometry.h"
#include "merge/output_path.h"
#include "merge/stop_request.h"

namespace {

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

const cv::Size output_size(2 * square_side, square_side);
const int output_codec = cv::VideoWriter::fourcc('m', 'p', '4', 'v');

}  // namespace

writing_stage::writing_stage(std::string output_video) : output_video_(std::move(output_video)) {}

std::string writing_stage::open(double fps)
{
    const std::string problem = output_extension_problem(output_video_);
    if (!problem.empty())
        return "cannot open output video " + output_video_ + ": " + problem;
    if (!exists(output_video_))
        remove_output_on_stop(output_video_);
    writer_.open(output_video_, output_codec, fps, output_size, true);
    if (!writer_.isOpened())
        return "cannot open output video " + output_video_ + ": " +
               output_open_problem(output_video_);
    watch_.emplace(output_video_);
    keep_output_on_stop();
    return std::string();
}

bool writing_stage::write(const cv::Mat& frame)
{
    writer_ << frame;
    unwritten_ = watch_->after_frame();
    if (!unwritten_.empty())
        return false;
    ++frame_count_;
    std::printf("%d\r", frame_count_);
    std::fflush(stdout);
    return true;
}

std::string writing_stage::unwritten() const
{
    return unwritten_.empty() ? std::string() : unwritable(unwritten_);
}

void writing_stage::print_total() const
{
    std::printf("%d frames\n", frame_count_);
}

std::string writing_stage::finish()
{
    writer_.release();
    // The writer reports nothing of its own: a file ending that could not
    // be written shows only in the finished file.
    const std::string unfinished = watch_ ? watch_->check_finished(frame_count_) : std::string();
    return unfinished.empty() ? std::string() : unwritable(unfinished);
}

std::string writing_stage::unwritable(const std::string& cause) const
{
    return "cannot write output video " + output_video_ + ": " + cause;
}
