#include "merge/writing_stage.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "common/process_setup.h"
#include "common/frame_rate.h"
#include "common/lens_geometry.h"
#include "common/output_path.h"
#include "merge/stop_request.h"

namespace {

constexpr double plain_frame_rate = 30.0;

const cv::Size output_size(2 * square_side, square_side);
const int output_codec = cv::VideoWriter::fourcc('m', 'p', '4', 'v');

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Whether the writer opens a scratch file of the output's kind at a plain
// rate: when it does, the rate it refused was to blame, not the path.
bool writer_takes_plain_rate(const std::string& output_video)
{
    const std::size_t dot = output_video.rfind('.');
    const std::string extension = output_video.substr(dot);  // checked: there is one
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error)
        return false;
    std::string scratch = (folder / ("twinwarp-rate-XXXXXX" + extension)).string();
    const int fd = ::mkstemps(scratch.data(), static_cast<int>(extension.size()));
    if (fd < 0)
        return false;
    ::close(fd);
    cv::VideoWriter probe(scratch, output_codec, plain_frame_rate, output_size, true);
    const bool opened = probe.isOpened();
    probe.release();
    ::unlink(scratch.c_str());
    return opened;
}

}  // namespace

writing_stage::writing_stage(std::string output_video) : output_video_(std::move(output_video)) {}

std::string writing_stage::open(double fps, const std::string& first_video)
{
    const std::string problem = output_extension_problem(output_video_);
    if (!problem.empty())
        return "cannot open output video " + output_video_ + ": " + problem;

    if (!exists(output_video_))
        remove_output_on_stop(output_video_);
    clear_codec_error();
    writer_.open(output_video_, output_codec, fps, output_size, true);
    if (writer_.isOpened()) {
        watch_.emplace(output_video_);
        keep_output_on_stop();
        return std::string();
    }

    const std::string codec_reason = last_codec_error();
    const output_refusal refusal = output_open_problem(output_video_);
    // The path can be written: was it the rate?
    if (refusal.why == output_refusal::cause::writer && writer_takes_plain_rate(output_video_))
        return refused_frame_rate_problem(first_video, fps, codec_reason);
    return "cannot open output video " + output_video_ + ": " + refusal.text;
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
