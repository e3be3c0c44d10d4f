// The merge as two stages joined by a small pool of output frames: one stage
// reads frame pairs and makes output frames from them, the other writes
// them. The writer (the codec's encoder, on one thread) is the slow part of
// a merge; with the making on a thread of its own, reading, cutting,
// scaling and remapping the next frame pairs happen while the current one
// is encoded, instead of before it.
//
// The pool holds a fixed number of frames, so memory does not grow with the
// length of the run: the maker waits for a free frame, the writer for a
// made one. Frames reach the writer in the order they were made. Each frame
// belongs to one stage at a time, handed over under the pool's lock.
//
// A stop: the writer looks at the stop request while it waits, so a maker
// blocked in a read that never returns (a stalled network share, a pipe
// nobody writes to) cannot hold it. Once a stop is asked for, the writer
// writes what was already made and gives the maker a grace period to hand
// over the frame in its hands and end; a maker still busy after it is
// abandoned. The pool, the frames and the maker's function are owned jointly
// by both threads, so an abandoned maker keeps what it uses alive for as
// long as it runs; the caller must then end the process without waiting for
// it (see run_pipeline).
#ifndef MERGE_PIPELINE_H
#define MERGE_PIPELINE_H

#include <chrono>
#include <exception>
#include <functional>
#include <string>

#include <opencv2/core.hpp>

// Fills `frame` with the next output frame and returns true, or returns
// false when there is none: at the end of the input, or with `problem` set
// to the message of what stopped it. Runs on the maker's thread; it and what
// it refers to must stay valid for as long as that thread may run, which an
// abandoned maker makes the rest of the process (so it should own its state,
// for example through a shared pointer).
using make_frame = std::function<bool(cv::Mat& frame, std::string& problem)>;

// Takes one made frame; returns false to stop the whole pipeline (the
// writer's own failure, which the caller keeps track of). Runs on the
// calling thread.
using write_frame = std::function<bool(const cv::Mat& frame)>;

// Whether a stop was asked for. Called by both threads; must be cheap and
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
    // How long after a stop the writer waits for the maker to end.
    std::chrono::milliseconds stop_grace{1000};
    // How often a waiting writer looks at the stop request.
    std::chrono::milliseconds stop_poll{50};
};

// How the maker ended, when it ended before the writer gave up: with a
// problem it reported, an exception it threw, or neither (its input ended,
// or it saw the stop). `abandoned`: after a stop the maker did not end within
// the grace period; its thread still runs, and nothing else is known of it.
struct making_end {
    std::string problem;
    std::exception_ptr fault;
    bool abandoned = false;
};

// Runs `make` on a thread of its own and `write` on the calling thread until
// the maker has ended and every frame it made is written, until `write`
// returns false, or until a stop has been asked for and the maker has
// ended or been abandoned. Every frame made before the maker ended is
// written, unless the writer gave up first; then the result is empty. An
// exception thrown by `write` is rethrown here once the maker has stopped.
// Returns once the maker's thread has ended, except when it was abandoned:
// then that thread is detached and may never end, and
// maker_abandoned_in_process says so from then on.
making_end run_pipeline(const pipeline_shape& shape, make_frame make, const write_frame& write);

// Whether any run_pipeline of this process has abandoned its maker. Such a
// process must end by _exit or a signal's default action, never by
// returning from main or calling exit: static objects would be destroyed
// under the thread that still runs. end_as_stopped (stop_request.h) is the
// one place that ends a merge's process, and it keeps to this.
bool maker_abandoned_in_process();

#endif
