// The making stage of a merge: everything that turns the two cameras' videos
// into output frames. It owns both readers, the start-frame drops, the
// frames of a pair, one eye_maker per camera and, in the equirectangular
// view, the conversion table that both eyes read and its build.
//
// Its life: made and opened on the main thread, then handed to the
// pipeline's maker thread, which alone uses it from then on. When that
// thread is abandoned after a stop (a read that never returns), the stage
// stays with it; so it is held by a shared pointer.
#ifndef MERGE_MAKING_STAGE_H
#define MERGE_MAKING_STAGE_H

#include <cstdint>
#include <future>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "common/pair_config.h"
#include "common/upright_video.h"
#include "frame/eye_maker.h"
#include "frame/fish2eqrec.h"
#include "merge/pipeline.h"

class making_stage {
public:
    // Starts the table's build at once in the equirectangular view: it
    // depends on the square's size alone, so it goes on beside the opening
    // of the videos and the writer, the drops and the first frame pair's
    // reading; it is taken (and its failure reported) at the first frame
    // pair, as if built there. `output_video` is named in messages only.
    // `stopped` is the pipeline's own stop check: the drops and each frame
    // pair look at it.
    making_stage(const pair_config& config, bool equirect_mode, std::string output_video,
                 stop_check stopped);
    making_stage(const making_stage&) = delete;
    making_stage& operator=(const making_stage&) = delete;

    // Opens the first video, then the second: "cannot open VIDEO" for the
    // first that does not open, or empty.
    std::string open_videos();

    // The first video's frame rate, which the output takes.
    double frame_rate();

    // Why a camera's square cannot be cut from the frames that its video
    // announces, before anything is written; empty when it can (or the
    // sizes are not known yet).
    std::string announced_squares_problem();

    // The pipeline's maker: drops the start frames on its first call, then
    // reads the next frame pair and makes `frame` from it. False at the end
    // of either video, after a stop, or with `problem` set when a frame no
    // longer fits its square (a size change mid-stream).
    bool make(cv::Mat& frame, std::string& problem);

    // Whether the equirectangular view was asked for a table and got none.
    // Only once the maker's thread has ended.
    bool table_missing() const { return table_requested_ && !table_; }

private:
    void drop_start_frames();

    void drop_frames(upright_video& reader, std::int32_t count);
    bool stopped() const { return stopped_ && stopped_(); }

    const pair_config config_;
    const bool equirect_mode_;
    const std::string output_video_;
    const stop_check stopped_;
    upright_video first_reader_;
    upright_video second_reader_;
    std::future<conv_table> table_build_;
    conv_table table_;
    bool table_requested_ = false;
    bool dropped_ = false;
    std::int32_t made_ = 0;
    cv::Mat first_frame_;  // as decoded, kept from one pair to the next
    cv::Mat second_frame_;
    eye_maker first_eye_;
    eye_maker second_eye_;
};

#endif
