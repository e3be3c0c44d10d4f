#include "merge/camera_stage.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/lens_geometry.h"
#include "common/square_rule.h"
#include "merge/input_checks.h"

namespace {

// The readers run this much nicer than the writer. The writer is the one
// serial part of a merge: where the cores are fewer than the busy threads,
// it must not wait for a core while a reader that is frames ahead of it
// takes one. Measured on two cores: 7 to 9 % off a merge's time.
constexpr int reader_niceness = 10;

}  // namespace

camera_stage::camera_stage(const eye_source& source, int eye, eye_view view,
                           std::shared_future<conv_table> table, std::string output_video,
                           stop_check stopped)
    : source_(source),
      square_(scale_circle(source.circle)),
      eye_(eye),
      output_video_(std::move(output_video)),
      stopped_(std::move(stopped)),
      table_(std::move(table)),
      maker_(square_, view)
{
}

std::string camera_stage::open()
{
    return open_problem(reader_, source_.path);
}

double camera_stage::frame_rate() const
{
    return reader_.get(cv::CAP_PROP_FPS);
}

// Skips up to the start frames without converting them; stops early once
// the video has none, or at a stop.
void camera_stage::drop_start_frames()
{
    for (std::int32_t i = 0; i < source_.start && !stopped(); ++i)
        if (!reader_.grab())
            return;
}

bool camera_stage::make(cv::Mat& frame, std::string& problem)
{
    if (!started_) {
        // Named for the camera, so that a look at the process's threads
        // tells the two readers apart.
        ::pthread_setname_np(::pthread_self(), eye_ == 0 ? "twinwarp-cam1" : "twinwarp-cam2");
        // Linux keeps a niceness per thread, which the threads this one
        // starts (OpenCV's pool) inherit. Added to the niceness the run was
        // started with (nice twinwarp ...), never below it.
        const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
        errno = 0;
        const int started_at = ::getpriority(PRIO_PROCESS, thread);
        if (errno == 0)
            ::setpriority(PRIO_PROCESS, thread, std::min(started_at + reader_niceness, 19));
        drop_start_frames();
        if (table_.valid())
            maker_.use_table(table_.get().get());
        started_ = true;
    }
    if (stopped())
        return false;
    if (!reader_.read(frame_))
        return false;

    // A video whose frame size changes mid-stream is caught here.
    problem = square_problem(source_.path, square_, frame_.size());
    if (!problem.empty()) {
        problem += "; stopped after " + std::to_string(made_) + " frames, which " + output_video_ +
                   " keeps";
        return false;
    }
    cv::Mat half = output_half(frame, eye_);
    maker_.make(frame_, half);
    ++made_;
    return true;
}
