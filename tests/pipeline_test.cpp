// The two-stage pipeline of the merge, driven with small in-memory frames
// that carry their own numbers: every way it can end, each under a time
// limit. Also built with ThreadSanitizer (see scripts/test.sh).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <stdexcept>
#include <vector>

#include "merge/pipeline.h"

namespace {

constexpr int in_flight = 3;
const cv::Size frame_size(8, 4);

// How a run should end: the maker stops after `frames` frames (at the end of
// its input, with a problem, by throwing, or by blocking there like a read
// that never returns), or the writer gives up or throws at frame
// `writer_stop`. A stop is asked for once `stop_after` frames are written,
// and by a maker that blocks, once it is blocked.
struct scenario {
    const char* name;
    int frames;
    enum { input_ends, problem, maker_throws, maker_blocks } maker_end;
    int writer_stop;  // -1: never
    bool writer_throws;
    int stop_after = -1;  // -1: never
};

struct outcome {
    std::vector<int> written;
    std::set<const unsigned char*> buffers;
    int make_calls = 0;
    making_end end;
    std::string rethrown;
};

// What the maker uses, owned with it: an abandoned maker outlives run().
struct maker_state {
    explicit maker_state(const scenario& s_) : s(s_), unblocked(unblock.get_future().share()) {}
    const scenario s;
    std::atomic<int> make_calls{0};
    std::atomic<bool> stop{false};
    std::promise<void> unblock;
    std::shared_future<void> unblocked;
};

// The tests' pool: small frames of numbers, and a short grace.
pipeline_shape test_shape(stop_check stop)
{
    pipeline_shape shape;
    shape.in_flight = in_flight;
    shape.size = frame_size;
    shape.type = CV_32SC1;
    shape.stop_requested = std::move(stop);
    shape.stop_grace = std::chrono::milliseconds(300);
    return shape;
}

outcome run(const scenario& s)
{
    outcome o;
    const auto state = std::make_shared<maker_state>(s);
    std::atomic<bool>& stop = state->stop;
    make_frame make = [state](cv::Mat& frame, std::string& problem) {
        const int n = state->make_calls++;
        if (n == state->s.frames) {
            if (state->s.maker_end == scenario::problem)
                problem = "stopped after " + std::to_string(n) + " frames";
            if (state->s.maker_end == scenario::maker_throws)
                throw std::runtime_error("maker failed");
            if (state->s.maker_end == scenario::maker_blocks) {
                state->stop = true;
                state->unblocked.wait();
            }
            return false;
        }
        frame.setTo(cv::Scalar(n));
        return true;
    };
    const write_frame write = [&](const cv::Mat& frame) {
        const int n = frame.at<int>(3, 7);
        if (n == s.writer_stop && s.writer_throws)
            throw std::runtime_error("writer failed");
        if (n == s.writer_stop)
            return false;
        o.written.push_back(n);
        o.buffers.insert(frame.data);
        if (static_cast<int>(o.written.size()) == s.stop_after)
            stop = true;
        return true;
    };
    try {
        o.end = run_pipeline(test_shape([state] { return state->stop.load(); }), {std::move(make)}, write);
    } catch (const std::exception& e) {
        o.rethrown = e.what();
    }
    o.make_calls = state->make_calls;
    // An abandoned maker is let go now, and must then end and let go of
    // what it shares.
    state->unblock.set_value();
    for (int wait = 0; wait < 500 && state.use_count() > 1; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(state.use_count(), 1) << s.name << ": the maker's thread did not end";
    return o;
}

// Runs `s` on a thread of its own and gives up on the whole test program if
// it has not ended within the limit: a deadlock must fail, not hang.
outcome run_within_limit(const scenario& s)
{
    auto result = std::async(std::launch::async, run, s);
    if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << s.name << ": still running after 20 s";
        std::_Exit(1);
    }
    return result.get();
}

std::vector<int> first(int n)
{
    std::vector<int> v;
    for (int i = 0; i < n; ++i)
        v.push_back(i);
    return v;
}

}  // namespace

TEST(merge_pipeline, EveryEndWritesWhatWasMadeInOrderAndStopsBothStages)
{
    const scenario scenarios[] = {
        {"no frames at all", 0, scenario::input_ends, -1, false},
        {"the input ends", 200, scenario::input_ends, -1, false},
        {"the maker reports a problem", 57, scenario::problem, -1, false},
        {"the maker throws", 31, scenario::maker_throws, -1, false},
        {"the writer gives up", 200, scenario::input_ends, 40, false},
        {"the writer throws", 200, scenario::input_ends, 12, true},
        {"the writer gives up on the first frame", 200, scenario::input_ends, 0, false},
        {"a stop while the maker works", 200, scenario::input_ends, -1, false, 20},
        {"a stop while the maker is blocked in a read", 30, scenario::maker_blocks, -1, false},
    };
    for (const scenario& s : scenarios) {
        const outcome o = run_within_limit(s);
        const bool writer_ended = s.writer_stop >= 0;
        const bool stopped = s.stop_after >= 0 && s.stop_after < s.frames;
        EXPECT_EQ(o.end.abandoned, s.maker_end == scenario::maker_blocks) << s.name;
        // The blocked maker comes last: the process knows of it from then on.
        EXPECT_EQ(maker_abandoned_in_process(), o.end.abandoned) << s.name;
        if (stopped) {
            // What was made by the time the maker saw the stop is written.
            ASSERT_GE(o.written.size(), static_cast<std::size_t>(s.stop_after)) << s.name;
            EXPECT_LE(o.written.size(), static_cast<std::size_t>(s.stop_after + in_flight + 1))
                << s.name;
            EXPECT_EQ(o.written, first(static_cast<int>(o.written.size()))) << s.name;
            EXPECT_EQ(o.make_calls, static_cast<int>(o.written.size())) << s.name;
            continue;
        }
        EXPECT_EQ(o.written, first(writer_ended ? s.writer_stop : s.frames)) << s.name;
        EXPECT_LE(o.buffers.size(), static_cast<std::size_t>(in_flight)) << s.name;
        EXPECT_EQ(o.end.problem,
                  s.maker_end == scenario::problem ? "stopped after 57 frames" : "")
            << s.name;
        EXPECT_EQ(static_cast<bool>(o.end.fault), s.maker_end == scenario::maker_throws) << s.name;
        EXPECT_EQ(o.rethrown, s.writer_throws ? "writer failed" : "") << s.name;
        if (writer_ended) {
            // The maker stops soon after: at most the frames that fit in the
            // pool and the one in its hands beyond what was taken.
            EXPECT_LE(o.make_calls, s.writer_stop + 1 + in_flight + 1) << s.name;
        } else {
            EXPECT_EQ(o.make_calls, s.frames + 1) << s.name;
        }
    }
}

namespace {

// One camera's maker of a two-camera run: it makes its half (its two rows)
// of `frames` frames, then ends as `end` says.
struct camera_maker {
    int frames;
    enum { input_ends, problem, throws, blocks } end;
};

struct pair_scenario {
    const char* name;
    camera_maker first, second;
    bool stop_when_blocked = false;  // a stop once a maker is blocked
    int written;                     // frames written
    const char* problem;             // the end's problem
    bool fault = false;
    bool abandoned = false;
};

struct pair_outcome {
    std::vector<int> written;
    bool halves_paired = true;  // each written frame's halves are of one index
    making_end end;
};

struct pair_state {
    std::promise<void> unblock;
    std::shared_future<void> unblocked{unblock.get_future().share()};
    std::atomic<bool> stop{false};
};

make_frame make_half(const std::shared_ptr<pair_state>& state, const camera_maker& c, int camera,
                     bool stop_when_blocked)
{
    return [state, c, camera, stop_when_blocked, n = 0](cv::Mat& frame, std::string& problem) mutable {
        if (n == c.frames) {
            if (c.end == camera_maker::problem)
                problem = "camera " + std::to_string(camera + 1) + " stopped after " + std::to_string(n);
            if (c.end == camera_maker::throws)
                throw std::runtime_error("camera failed");
            if (c.end == camera_maker::blocks) {
                if (stop_when_blocked)
                    state->stop = true;
                state->unblocked.wait();
            }
            return false;
        }
        // Slow enough now and then for the other camera to run ahead.
        if (n % 7 == camera)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        frame.rowRange(2 * camera, 2 * camera + 2).setTo(cv::Scalar(n++));
        return true;
    };
}

pair_outcome run_pair(const pair_scenario& s)
{
    pair_outcome o;
    const auto state = std::make_shared<pair_state>();
    {
        o.end = run_pipeline(test_shape([state] { return state->stop.load(); }),
                             {make_half(state, s.first, 0, s.stop_when_blocked),
                              make_half(state, s.second, 1, s.stop_when_blocked)},
                             [&](const cv::Mat& frame) {
                                 o.halves_paired =
                                     o.halves_paired && frame.at<int>(0, 0) == frame.at<int>(3, 7);
                                 o.written.push_back(frame.at<int>(0, 0));
                                 return true;
                             });
    }
    state->unblock.set_value();
    for (int wait = 0; wait < 500 && state.use_count() > 1; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(state.use_count(), 1) << s.name << ": a maker's thread did not end";
    return o;
}

}  // namespace

TEST(merge_pipeline, TwoCamerasEndAtTheFirstFrameEitherCannotMake)
{
    using m = camera_maker;
    const pair_scenario scenarios[] = {
        {"the second video is shorter", {80, m::input_ends}, {30, m::input_ends}, false, 30, ""},
        {"the first video is shorter", {12, m::input_ends}, {80, m::input_ends}, false, 12, ""},
        {"a problem in the first", {20, m::problem}, {80, m::input_ends}, false, 20, "camera 1 stopped after 20"},
        {"a problem in the second", {80, m::input_ends}, {15, m::problem}, false, 15, "camera 2 stopped after 15"},
        {"the shorter input ends the run before a problem at the same frame", {20, m::problem},
         {20, m::input_ends}, false, 20, ""},
        {"problems in both at one frame: the first camera's", {20, m::problem}, {20, m::problem}, false, 20,
         "camera 1 stopped after 20"},
        {"the second throws", {80, m::input_ends}, {9, m::throws}, false, 9, "", true},
        {"the first ends while the second is blocked in a read of that frame", {5, m::input_ends}, {5, m::blocks},
         false, 5,
         "", false, true},
        {"a stop while the second is blocked", {80, m::input_ends}, {10, m::blocks}, true, 10, "", false, true},
        {"a stop while both are blocked", {25, m::blocks}, {25, m::blocks}, true, 25, "", false, true},
    };
    for (const pair_scenario& s : scenarios) {
        auto result = std::async(std::launch::async, run_pair, s);
        if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << s.name << ": still running after 20 s";
            std::_Exit(1);
        }
        const pair_outcome o = result.get();
        if (s.stop_when_blocked) {
            // What both had made by the time the stop was seen.
            EXPECT_LE(o.written.size(), static_cast<std::size_t>(s.written)) << s.name;
            EXPECT_EQ(o.written, first(static_cast<int>(o.written.size()))) << s.name;
        } else {
            EXPECT_EQ(o.written, first(s.written)) << s.name;
        }
        EXPECT_TRUE(o.halves_paired) << s.name;
        EXPECT_EQ(o.end.problem, s.problem) << s.name;
        EXPECT_EQ(static_cast<bool>(o.end.fault), s.fault) << s.name;
        EXPECT_EQ(o.end.abandoned, s.abandoned) << s.name;
    }
    EXPECT_TRUE(maker_abandoned_in_process());
}
