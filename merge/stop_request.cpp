#include "merge/stop_request.h"

#include <atomic>
#include <csignal>
#include <cstdio>

#include <signal.h>

namespace {

// Written in a signal handler, which may run on any of the threads that
// OpenCV and the codecs start, and read by the merge: a lock-free atomic is
// the one kind of shared object that both may touch.
std::atomic<int> requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void request_stop(int signal_number)
{
    int none = 0;
    requested.compare_exchange_strong(none, signal_number);
}

}  // namespace

void install_stop_handlers()
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // reads and writes in progress carry on
    for (int s : stop_signals)
        sigaction(s, &action, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

int stop_signal()
{
    return requested.load();
}

int end_as_stopped(int status)
{
    const int s = stop_signal();
    if (s == 0)
        return status;
    std::fflush(stdout);
    std::fflush(stderr);
    if (s == SIGQUIT)
        return 128 + s;
    std::signal(s, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, s);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(s);
    return 128 + s;  // not reached: the default action ends the process
}
