#include "merge/stop_request.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <signal.h>
#include <unistd.h>

#include "merge/pipeline.h"

namespace {

// Written in a signal handler, which may run on any of the threads that
// OpenCV and the codecs start, and read by the merge: lock-free atomics are
// the one kind of shared object that both may touch.
std::atomic<int> requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

enum phase : int {
    nothing_to_keep,  // a stop ends the process at once
    opening_output,   // the same, after removing the output the run created
    keeping_output,   // a stop is recorded for the merge to finish
};
std::atomic<int> current_phase{nothing_to_keep};
static_assert(std::atomic<int>::is_always_lock_free);

// The output that a stop while opening it removes; written before the phase
// says so, and never again.
char output_to_remove[PATH_MAX];

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Ends the process as signal `s` would, from a signal handler or not: only
// async-signal-safe calls.
[[noreturn]] void end_by(int s)
{
    if (s == SIGQUIT)
        ::_exit(128 + s);
    ::signal(s, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, s);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(s);
    ::_exit(128 + s);  // not reached: the default action ends the process
}

void request_stop(int signal_number)
{
    int none = 0;
    if (!requested.compare_exchange_strong(none, signal_number))
        end_by(signal_number);  // a second stop: no more waiting
    const int now = current_phase.load();
    if (now == keeping_output)
        return;
    if (now == opening_output)
        ::unlink(output_to_remove);
    end_by(signal_number);
}

}  // namespace

void install_stop_handlers()
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    // Reads and writes in progress carry on: the merge looks at the request
    // between frames, and the pipeline's writer while it waits.
    action.sa_flags = SA_RESTART;
    for (int s : stop_signals)
        sigaction(s, &action, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

void remove_output_on_stop(const std::string& output_video)
{
    if (output_video.size() >= sizeof output_to_remove)
        return;
    std::memcpy(output_to_remove, output_video.c_str(), output_video.size() + 1);
    current_phase.store(opening_output);
}

void keep_output_on_stop()
{
    current_phase.store(keeping_output);
}

int stop_signal()
{
    return requested.load();
}

int end_as_stopped(int status)
{
    const int s = stop_signal();
    if (s == 0 && !maker_abandoned_in_process())
        return status;
    std::fflush(stdout);
    std::fflush(stderr);
    // A maker is abandoned only after a stop, so s is set; were it not, the
    // thread that still runs forbids a return all the same.
    if (s == 0)
        ::_exit(status);
    end_by(s);
}
