// The merge as makers and a writer joined by a small pool of output frames.
// Each maker (one per camera) reads its camera and makes its part of every
// output frame, on a thread of its own; the writer, on the calling thread,
// writes each frame once every maker has made its part. The writer (the
// codec's encoder, on one thread) is the slow part of a merge; with each
// camera's reading, cutting, scaling and remapping on a thread of its own,
// the next frames are made while the current one is encoded, and the two
// cameras' decoding goes on side by side.
//
// The pool holds a fixed number of frames, so memory does not grow with the
// length of the run. Frame k lives in slot k % in_flight; a maker waits
// until that slot has been written and handed back, the writer until every
// maker has made its part of the next frame. Frames reach the writer in
// order. A maker writes only its own part of a frame, and takes and gives
// back its slot under the pool's lock.
//
// The run ends at the first frame that some maker could not make: the end
// of the shorter input, a problem a maker reports, or an exception it
// throws. The frames before it are written; what another maker made beyond
// it is not.
//
// A stop: the writer looks at the stop request while it waits, so a maker
// blocked in a read that never returns (a stalled network share, a pipe
// nobody writes to) cannot hold it. Once a stop is asked for, the writer
// writes what was already made and gives the makers a grace period to end;
// one still busy after it is abandoned. So is one still busy a grace period
// after the run ended without it (blocked in a read of its own camera while
// the other camera's video ended). The pool, the frames and the makers'
// functions are owned jointly by all the threads, so an abandoned maker
// keeps what it uses alive for as long as it runs; the caller must then end
// the process without waiting for it (see maker_abandoned_in_process).
#ifndef MERGE_PIPELINE_H
#define MERGE_PIPELINE_H

#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// Makes this maker's part of the next output frame in `frame` and returns
// true, or returns false when it cannot: at the end of its input, or with
// `problem` set to the message of what stopped it. Runs on the maker's own
// thread, one frame after the other; it and what it refers to must stay
// valid for as long as that thread may run, which an abandoned maker makes
// the rest of the process (so it should own its state, for example through
// a shared pointer).
using make_frame = std::function<bool(cv::Mat& frame, std::string& problem)>;

// Takes one made frame; returns false to stop the whole pipeline (the
// writer's own failure, which the caller keeps track of). Runs on the
// calling thread.
using write_frame = std::function<bool(const cv::Mat& frame)>;

// Whether a stop was asked for. Called by every thread; must be cheap and
// never block.
using stop_check = std::function<bool()>;

// Output frames in flight between the stages: one being written, one being
// made, one spare.
constexpr int frames_in_flight = 3;

// The frames between the stages, and how a stop is handled.
struct pipeline_shape {
    int in_flight = frames_in_flight;  // output frames in the pool
    cv::Size size;              // of each output frame
    int type = 0;
    stop_check stop_requested;  // none: never
    // How long after a stop, or after the end, the writer waits for the
    // makers to end.
    std::chrono::milliseconds stop_grace{1000};
    // How often a waiting writer looks at the stop request.
    std::chrono::milliseconds stop_poll{50};
};

// How the making ended, when it ended before the writer gave up: with a
// problem a maker reported, an exception it threw, or neither (an input
// ended, or a maker saw the stop). Of the makers that ended at the first
// frame not made, an end without either counts (the shorter input ends the
// run before any problem of the other's), else the first maker's.
// `abandoned`: a maker did not end within the grace period; its thread still
// runs. After a stop nothing else is known then.
struct making_end {
    std::string problem;
    std::exception_ptr fault;
    bool abandoned = false;
};

// Runs each of `makers` on a thread of its own and `write` on the calling
// thread until the first frame that a maker did not make, until `write`
// returns false, or until a stop has been asked for and the makers have
// ended or been abandoned. Every frame that all makers made before that is
// written, unless the writer gave up first; then the result is empty (but
// for `abandoned`). An exception thrown by `write` is rethrown here once
// the makers have stopped. Returns once every maker's thread has ended,
// except for those abandoned: their threads are detached and may never end,
// and maker_abandoned_in_process says so from then on.
making_end run_pipeline(const pipeline_shape& shape, std::vector<make_frame> makers,
                        const write_frame& write);

// Whether any run_pipeline of this process has abandoned a maker. Such a
// process must end by _exit or a signal's default action, never by
// returning from main or calling exit: static objects would be destroyed
// under the thread that still runs. end_as_stopped (stop_request.h) is the
// one place that ends a merge's process, and it keeps to this.
bool maker_abandoned_in_process();

#endif
