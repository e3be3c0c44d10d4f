#include "merge/pipeline.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// Set once, never cleared: see maker_abandoned_in_process.
std::atomic<bool> abandoned_a_maker{false};

// How one maker ended: at frame `at` (the first it did not make), with what.
// One that was told to make no more (the run had ended, or the writer had
// given up) ended where it was, which does not count.
struct maker_end {
    bool ended = false;
    bool counts = false;
    long at = 0;
    making_end how;
};

// What the threads share: the frames, how far each has got, and the makers.
// Owned jointly by all of them, so that an abandoned maker keeps it alive.
struct shared_pipeline {
    shared_pipeline(const pipeline_shape& shape, std::vector<make_frame> makers_)
        : frames(static_cast<std::size_t>(shape.in_flight > 0 ? shape.in_flight : 1)),
          size(shape.size),
          type(shape.type),
          stop_requested(shape.stop_requested),
          makers(std::move(makers_)),
          parts_done(frames.size(), 0),
          ends(makers.size())
    {
    }

    bool stopped() const { return stop_requested && stop_requested(); }
    // Guarded by `lock`, as `ends` is.
    bool all_ended() const
    {
        for (const maker_end& e : ends)
            if (!e.ended)
                return false;
        return true;
    }
    long slots() const { return static_cast<long>(frames.size()); }

    std::vector<cv::Mat> frames;  // frame k in frames[k % slots()]
    const cv::Size size;
    const int type;
    const stop_check stop_requested;
    const std::vector<make_frame> makers;

    // Guarded by `lock`.
    std::mutex lock;
    std::condition_variable changed;
    long handed_back = 0;         // frames the writer is done with
    long complete = 0;            // frames every maker has made its part of
    std::vector<int> parts_done;  // per slot: makers done with its frame
    long end_at = LONG_MAX;       // the first frame some maker did not make
    std::vector<maker_end> ends;
    bool writer_done = false;     // the writer takes nothing more
};

// Waits for frame k's slot; false when the maker is to make no more. The
// frame at which another maker ended is still made: whether this one can
// make it decides whose end counts.
bool take_slot(shared_pipeline& pool, long k, cv::Mat& frame)
{
    std::unique_lock<std::mutex> hold(pool.lock);
    pool.changed.wait(hold, [&] {
        return k < pool.handed_back + pool.slots() || pool.writer_done || k > pool.end_at;
    });
    if (pool.writer_done || k > pool.end_at)
        return false;
    cv::Mat& slot = pool.frames[static_cast<std::size_t>(k % pool.slots())];
    // Allocated on first use, so that a short run holds only the frames it
    // needed; here, so that only one maker allocates it.
    slot.create(pool.size, pool.type);
    frame = slot;
    return true;
}

void run_maker(const std::shared_ptr<shared_pipeline>& pool, std::size_t maker)
{
    making_end how;
    long k = 0;
    bool counts = true;
    try {
        for (;; ++k) {
            cv::Mat frame;
            if (!take_slot(*pool, k, frame)) {
                counts = false;
                break;
            }
            if (pool->stopped())
                break;
            if (!pool->makers[maker](frame, how.problem))
                break;
            std::lock_guard<std::mutex> hold(pool->lock);
            int& done = pool->parts_done[static_cast<std::size_t>(k % pool->slots())];
            if (++done == static_cast<int>(pool->makers.size())) {
                done = 0;
                pool->complete = k + 1;
            }
            pool->changed.notify_all();
        }
    } catch (...) {
        how.fault = std::current_exception();
    }
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->ends[maker] = maker_end{true, counts, k, std::move(how)};
    if (counts && k < pool->end_at)
        pool->end_at = k;
    pool->changed.notify_all();
}

// The end that counts, of the makers that ended at the first frame not
// made: one without a problem or a fault if any, else the first maker's.
making_end end_of_making(const shared_pipeline& pool)
{
    const maker_end* counted = nullptr;
    for (const maker_end& e : pool.ends) {
        if (!e.counts || e.at != pool.end_at)
            continue;
        if (counted == nullptr)
            counted = &e;
        if (e.how.problem.empty() && !e.how.fault) {
            counted = &e;
            break;
        }
    }
    return counted != nullptr ? counted->how : making_end{};
}

// Writes the made frames in order until there are no more, the writer
// gives up, or a stop's grace has passed with a maker still busy. Returns
// whether the writer gave up; `abandon` when the grace has passed.
bool write_frames(shared_pipeline& pool, const pipeline_shape& shape, const write_frame& write,
                  bool& abandon)
{
    bool stop_seen = false;
    std::chrono::steady_clock::time_point grace_ends;
    for (long next = 0;; ++next) {
        cv::Mat frame;
        {
            std::unique_lock<std::mutex> hold(pool.lock);
            while (next >= pool.complete && next < pool.end_at) {
                if (!stop_seen && pool.stopped()) {
                    stop_seen = true;
                    grace_ends = std::chrono::steady_clock::now() + shape.stop_grace;
                }
                if (stop_seen && std::chrono::steady_clock::now() >= grace_ends) {
                    abandon = true;
                    return false;
                }
                pool.changed.wait_for(hold, shape.stop_poll);
            }
            if (next >= pool.complete)
                return false;  // every frame before the end is written
            frame = pool.frames[static_cast<std::size_t>(next % pool.slots())];
        }
        const bool go_on = write(frame);
        {
            std::lock_guard<std::mutex> hold(pool.lock);
            pool.handed_back = next + 1;
        }
        pool.changed.notify_all();
        if (!go_on)
            return true;
    }
}

}  // namespace

making_end run_pipeline(const pipeline_shape& shape, std::vector<make_frame> makers,
                        const write_frame& write)
{
    const auto pool = std::make_shared<shared_pipeline>(shape, std::move(makers));
    std::vector<std::thread> threads;
    for (std::size_t m = 0; m < pool->makers.size(); ++m)
        threads.emplace_back(run_maker, pool, m);

    bool gave_up = false;
    bool abandon = false;
    std::exception_ptr write_fault;
    try {
        gave_up = write_frames(*pool, shape, write, abandon);
    } catch (...) {
        write_fault = std::current_exception();
        gave_up = true;
    }

    // No maker is waited for without end: each gets the grace period (none
    // more once a stop's grace has passed), and one still busy is let go.
    // At the end, the makers still try the frame at which the run ended
    // (whose end counts depends on it), then end by themselves; a writer that
    // gave up tells them to end at once.
    std::unique_lock<std::mutex> hold(pool->lock);
    if (gave_up || abandon) {
        pool->writer_done = true;
        pool->changed.notify_all();
    }
    if (!abandon)
        pool->changed.wait_for(hold, shape.stop_grace, [&] { return pool->all_ended(); });
    pool->writer_done = true;
    pool->changed.notify_all();
    const bool all_ended = pool->all_ended();
    std::vector<bool> ended;
    for (const maker_end& e : pool->ends)
        ended.push_back(e.ended);
    hold.unlock();
    for (std::size_t m = 0; m < threads.size(); ++m) {
        if (ended[m]) {
            threads[m].join();
        } else {
            // Blocked where no stop reaches it (a read that may never
            // return). It keeps the pool alive through its own share; the
            // caller ends the process around it.
            abandoned_a_maker.store(true);
            threads[m].detach();
        }
    }
    if (write_fault)
        std::rethrow_exception(write_fault);
    making_end end;
    if (!gave_up && !abandon) {
        hold.lock();
        end = end_of_making(*pool);
    }
    end.abandoned = !all_ended;
    return end;
}

bool maker_abandoned_in_process()
{
    return abandoned_a_maker.load();
}
