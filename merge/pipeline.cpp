#include "merge/pipeline.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Set once, never cleared: see maker_abandoned_in_process.
std::atomic<bool> abandoned_a_maker{false};

// What both stages share: the frames, who holds them, and the maker. Owned
// jointly by the two threads, so that an abandoned maker keeps it alive.
struct shared_pipeline {
    shared_pipeline(const pipeline_shape& shape, make_frame make_)
        : frames(static_cast<std::size_t>(shape.in_flight > 0 ? shape.in_flight : 1)),
          size(shape.size),
          type(shape.type),
          stop_requested(shape.stop_requested),
          make(std::move(make_))
    {
        for (cv::Mat& frame : frames)
            free.push_back(&frame);
    }

    bool stopped() const { return stop_requested && stop_requested(); }

    std::vector<cv::Mat> frames;
    const cv::Size size;
    const int type;
    const stop_check stop_requested;
    const make_frame make;

    // Guarded by `lock`.
    std::mutex lock;
    std::condition_variable changed;
    std::deque<cv::Mat*> free;    // for the maker to fill
    std::deque<cv::Mat*> made;    // for the writer, in the order made
    bool maker_done = false;      // the maker will hand over nothing more
    bool writer_done = false;     // the writer takes nothing more
    making_end end;               // the maker's; read once maker_done is set
};

void run_maker(const std::shared_ptr<shared_pipeline>& pool)
{
    making_end end;
    try {
        for (;;) {
            cv::Mat* frame = nullptr;
            {
                std::unique_lock<std::mutex> hold(pool->lock);
                pool->changed.wait(hold, [&] { return !pool->free.empty() || pool->writer_done; });
                if (pool->writer_done)
                    break;
                frame = pool->free.front();
                pool->free.pop_front();
            }
            if (pool->stopped())
                break;
            // Allocated on first use, so that a short run holds only the
            // frames it needed.
            frame->create(pool->size, pool->type);
            if (!pool->make(*frame, end.problem))
                break;
            {
                std::lock_guard<std::mutex> hold(pool->lock);
                pool->made.push_back(frame);
            }
            pool->changed.notify_all();
        }
    } catch (...) {
        end.fault = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->end = std::move(end);
        pool->maker_done = true;
    }
    pool->changed.notify_all();
}

}  // namespace

making_end run_pipeline(const pipeline_shape& shape, make_frame make, const write_frame& write)
{
    const auto pool = std::make_shared<shared_pipeline>(shape, std::move(make));
    std::thread maker(run_maker, pool);

    bool gave_up = false;
    bool abandon = false;
    bool stop_seen = false;
    std::chrono::steady_clock::time_point grace_ends;
    std::exception_ptr write_fault;
    try {
        for (;;) {
            cv::Mat* frame = nullptr;
            {
                std::unique_lock<std::mutex> hold(pool->lock);
                while (pool->made.empty() && !pool->maker_done) {
                    if (!stop_seen && pool->stopped()) {
                        stop_seen = true;
                        grace_ends = std::chrono::steady_clock::now() + shape.stop_grace;
                    }
                    if (stop_seen && std::chrono::steady_clock::now() >= grace_ends) {
                        abandon = true;
                        break;
                    }
                    pool->changed.wait_for(hold, shape.stop_poll);
                }
                if (abandon || pool->made.empty())
                    break;  // the maker is done and everything it made is written
                frame = pool->made.front();
                pool->made.pop_front();
            }
            const bool go_on = write(*frame);
            {
                std::lock_guard<std::mutex> hold(pool->lock);
                pool->free.push_back(frame);
            }
            pool->changed.notify_all();
            if (!go_on) {
                gave_up = true;
                break;
            }
        }
    } catch (...) {
        write_fault = std::current_exception();
        gave_up = true;
    }
    if (gave_up || abandon) {
        {
            std::lock_guard<std::mutex> hold(pool->lock);
            pool->writer_done = true;
        }
        pool->changed.notify_all();
    }
    if (abandon) {
        // The maker is blocked where no stop reaches it (a read that may
        // never return). It keeps the pool alive through its own share; the
        // caller ends the process around it.
        abandoned_a_maker.store(true);
        maker.detach();
        making_end end;
        end.abandoned = true;
        return end;
    }
    maker.join();
    if (write_fault)
        std::rethrow_exception(write_fault);
    if (gave_up)
        return making_end{};
    std::lock_guard<std::mutex> hold(pool->lock);
    return pool->end;
}

bool maker_abandoned_in_process()
{
    return abandoned_a_maker.load();
}
