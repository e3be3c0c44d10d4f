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
#ifndef MERGE_PIPELINE_H
#define MERGE_PIPELINE_H

#include <exception>
#include <functional>
#include <string>

#include <opencv2/core.hpp>

// Fills `frame` with the next output frame and returns true, or returns
// false when there is none: at the end of the input, or with `problem` set
// to the message of what stopped it. Runs on the maker's thread.
using make_frame = std::function<bool(cv::Mat& frame, std::string& problem)>;

// Takes one made frame; returns false to stop the whole pipeline (the
// writer's own failure, which the caller keeps track of). Runs on the
// calling thread.
using write_frame = std::function<bool(const cv::Mat& frame)>;

// How the maker ended, when it ended before the writer gave up: with a
// problem it reported, an exception it threw, or neither (its input ended).
struct making_end {
    std::string problem;
    std::exception_ptr fault;
};

// Runs `make` on a thread of its own and `write` on the calling thread,
// with at most `in_flight` frames of `size` and `type` between them, until
// the maker has ended and every frame it made is written, or until `write`
// returns false. Returns once the maker's thread has ended. Every frame made
// before the maker ended is written, unless the writer gave up first; then
// the result is empty. An exception thrown by `write` is rethrown here once
// the maker has stopped.
making_end run_pipeline(int in_flight, cv::Size size, int type, const make_frame& make,
                        const write_frame& write);

#endif
