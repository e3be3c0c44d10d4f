#include "merge/pipeline.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// The frames and who holds them. Guarded by `lock`.
struct frame_pool {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<cv::Mat*> free;    // for the maker to fill
    std::deque<cv::Mat*> made;    // for the writer, in the order made
    bool maker_done = false;      // the maker will hand over nothing more
    bool writer_done = false;     // the writer takes nothing more
};

void run_maker(frame_pool& pool, cv::Size size, int type, const make_frame& make,
               making_end& end)
{
    try {
        for (;;) {
            cv::Mat* frame = nullptr;
            {
                std::unique_lock<std::mutex> hold(pool.lock);
                pool.changed.wait(hold, [&] { return !pool.free.empty() || pool.writer_done; });
                if (pool.writer_done)
                    break;
                frame = pool.free.front();
                pool.free.pop_front();
            }
            // Allocated on first use, so that a short run holds only the
            // frames it needed.
            frame->create(size, type);
            if (!make(*frame, end.problem))
                break;
            {
                std::lock_guard<std::mutex> hold(pool.lock);
                pool.made.push_back(frame);
            }
            pool.changed.notify_all();
        }
    } catch (...) {
        end.fault = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> hold(pool.lock);
        pool.maker_done = true;
    }
    pool.changed.notify_all();
}

}  // namespace

making_end run_pipeline(int in_flight, cv::Size size, int type, const make_frame& make,
                        const write_frame& write)
{
    std::vector<cv::Mat> frames(static_cast<std::size_t>(in_flight > 0 ? in_flight : 1));
    frame_pool pool;
    for (cv::Mat& frame : frames)
        pool.free.push_back(&frame);

    making_end end;
    std::thread maker(run_maker, std::ref(pool), size, type, std::cref(make), std::ref(end));

    const auto stop_writing = [&] {
        {
            std::lock_guard<std::mutex> hold(pool.lock);
            pool.writer_done = true;
        }
        pool.changed.notify_all();
    };
    bool gave_up = false;
    std::exception_ptr write_fault;
    try {
        for (;;) {
            cv::Mat* frame = nullptr;
            {
                std::unique_lock<std::mutex> hold(pool.lock);
                pool.changed.wait(hold, [&] { return !pool.made.empty() || pool.maker_done; });
                if (pool.made.empty())
                    break;  // the maker is done and everything it made is written
                frame = pool.made.front();
                pool.made.pop_front();
            }
            const bool go_on = write(*frame);
            {
                std::lock_guard<std::mutex> hold(pool.lock);
                pool.free.push_back(frame);
            }
            pool.changed.notify_all();
            if (!go_on) {
                gave_up = true;
                break;
            }
        }
    } catch (...) {
        write_fault = std::current_exception();
        gave_up = true;
    }
    if (gave_up)
        stop_writing();
    maker.join();
    if (write_fault)
        std::rethrow_exception(write_fault);
    return gave_up ? making_end{} : end;
}
