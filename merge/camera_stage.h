// One camera of a merge: everything that turns its video into its half of
// every output frame. It owns the camera's reader, its start-frame drops,
// its decoded frame and its eye_maker; in the equirectangular view the eye
// reads the conversion table that both cameras share, built once.
//
// Its life: made and opened on the main thread, then handed to the
// pipeline's thread for this camera, which alone uses it from then on. When
// that thread is abandoned (a read that never returns), the stage stays with
// it; so it is held by a shared pointer.
#ifndef MERGE_CAMERA_STAGE_H
#define MERGE_CAMERA_STAGE_H

#include <cstdint>
#include <future>
#include <string>

#include <opencv2/core.hpp>

#include "common/pair_config.h"
#include "common/upright_video.h"
#include "frame/eye_maker.h"
#include "frame/fish2eqrec.h"
#include "merge/pipeline.h"

class camera_stage {
public:
    // `eye` 0 is the first camera, the output's left half; 1 the second.
    // `table`: the equirectangular view's table, as it is being built (not
    // valid in the lens view). `output_video` is named in messages only;
    // `stopped` is the pipeline's own stop check, which the drops and each
    // frame look at.
    camera_stage(const eye_source& source, int eye, eye_view view,
                 std::shared_future<conv_table> table, std::string output_video,
                 stop_check stopped);
    camera_stage(const camera_stage&) = delete;
    camera_stage& operator=(const camera_stage&) = delete;

    // Opens the video: "cannot open VIDEO", or empty.
    std::string open();

    // The video's frame rate, and its upright frame size as announced
    // (empty when not known yet). Before the run only.
    double frame_rate() const;
    cv::Size announced_size() const { return reader_.size(); }

    // The pipeline's maker for this camera: drops the start frames on its
    // first call, then reads the next frame and makes this camera's half of
    // `frame` from it. False at the end of the video, after a stop, or with
    // `problem` set when a frame no longer fits its square (a size change
    // mid-stream).
    bool make(cv::Mat& frame, std::string& problem);

private:
    void drop_start_frames();
    bool stopped() const { return stopped_ && stopped_(); }

    const eye_source source_;
    const scaled_circle square_;  // the circle whose square is cut
    const int eye_;
    const std::string output_video_;
    const stop_check stopped_;
    std::shared_future<conv_table> table_;
    upright_video reader_;
    cv::Mat frame_;  // as decoded, kept from one frame to the next
    eye_maker maker_;
    bool started_ = false;
    std::int32_t made_ = 0;
};

#endif
