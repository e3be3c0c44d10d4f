// The writing stage of a merge: the output video's writer, the watch on its
// file, and the count of frames written with its printing. It lives on the
// main thread.
#ifndef MERGE_WRITING_STAGE_H
#define MERGE_WRITING_STAGE_H

#include <cstdint>
#include <optional>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "merge/output_video.h"

class writing_stage {
public:
    explicit writing_stage(std::string output_video);
    writing_stage(const writing_stage&) = delete;
    writing_stage& operator=(const writing_stage&) = delete;

    // Opens the writer at `fps`, the frame rate of `first_video`. On failure
    // the whole message: the output path's problem, or the rate's when the
    // writer takes the path at another rate but not at this one; empty once
    // open. From then on a stop keeps the output (see stop_request.h).
    std::string open(double fps, const std::string& first_video);

    // Hands one frame to the writer and prints the new count. False when the
    // output has stopped reaching the disk; see unwritten().
    bool write(const cv::Mat& frame);

    // Why the output stopped reaching the disk, as a whole message; empty
    // while it reaches it.
    std::string unwritten() const;

    // Prints the total line.
    void print_total() const;

    // Closes the output video, so that every frame written so far plays.
    void release() { writer_.release(); }

    // Closes the output video and reads the finished file back: the whole
    // message when it does not hold the frames counted, else empty.
    std::string finish();

    std::int32_t frames() const { return frame_count_; }

private:
    std::string unwritable(const std::string& cause) const;

    const std::string output_video_;
    cv::VideoWriter writer_;
    std::optional<output_watch> watch_;
    std::string unwritten_;
    std::int32_t frame_count_ = 0;
};

#endif
