// The two-stage pipeline of the merge, driven with small in-memory frames
// that carry their own numbers: every way it can end, each under a time
// limit. Also built with ThreadSanitizer (see scripts/test.sh).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <stdexcept>
#include <vector>

#include "merge/pipeline.h"

namespace {

constexpr int in_flight = 3;
const cv::Size frame_size(8, 4);

// How a run should end: the maker stops after `frames` frames (at the end of
// its input, with a problem or by throwing), or the writer gives up or
// throws at frame `writer_stop`.
struct scenario {
    const char* name;
    int frames;
    enum { input_ends, problem, maker_throws } maker_end;
    int writer_stop;  // -1: never
    bool writer_throws;
};

struct outcome {
    std::vector<int> written;
    std::set<const unsigned char*> buffers;
    int make_calls = 0;
    making_end end;
    std::string rethrown;
};

outcome run(const scenario& s)
{
    outcome o;
    std::atomic<int> make_calls{0};
    const make_frame make = [&](cv::Mat& frame, std::string& problem) {
        const int n = make_calls++;
        if (n == s.frames) {
            if (s.maker_end == scenario::problem)
                problem = "stopped after " + std::to_string(n) + " frames";
            if (s.maker_end == scenario::maker_throws)
                throw std::runtime_error("maker failed");
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
        return true;
    };
    try {
        o.end = run_pipeline(in_flight, frame_size, CV_32SC1, make, write);
    } catch (const std::exception& e) {
        o.rethrown = e.what();
    }
    o.make_calls = make_calls;
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
    };
    for (const scenario& s : scenarios) {
        const outcome o = run_within_limit(s);
        const bool writer_ended = s.writer_stop >= 0;
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
