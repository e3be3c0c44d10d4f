// Runs a command and measures it from outside, thread by thread: the CPU
// time each of its threads used (user and system, from
// /proc/PID/task/TID/stat), its wall time and its peak resident memory.
//
//   thread_cpu REPORT command [arguments...]
//
// The threads are sampled every sample_interval while the command runs;
// each one's last sample is its figure, so a thread's last few milliseconds
// before it ends, and a thread that lives less than one interval, are not
// counted. The report, written to REPORT once the command has ended:
//
//   wall SECONDS
//   peak_kb KILOBYTES
//   thread TID MAIN NAME CPU_SECONDS     one line per thread seen
//
// MAIN is 1 for the command's main thread. The exit status is the
// command's.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds sample_interval{10};

struct thread_seen {
    std::string name;
    double cpu = 0;  // seconds
};

// Reads each thread's name and CPU time into `threads`.
void sample(pid_t pid, std::map<long, thread_seen>& threads)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr)
        return;
    static const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(tasks + "/" + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(in, line))
            continue;
        // "tid (name) state ..." : the name may hold blanks and parentheses.
        const std::size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        thread_seen& t = threads[std::atol(entry->d_name)];
        t.name = line.substr(open + 1, close - open - 1);
        t.cpu = static_cast<double>(utime + stime) / ticks;
    }
    ::closedir(dir);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: thread_cpu REPORT command [arguments...]\n", stderr);
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("thread_cpu: fork");
        return 2;
    }
    if (pid == 0) {
        ::execvp(argv[2], argv + 2);
        std::fprintf(stderr, "thread_cpu: cannot run %s: %s\n", argv[2], std::strerror(errno));
        ::_exit(127);
    }
    std::map<long, thread_seen> threads;
    int status = 0;
    rusage usage{};
    for (;;) {
        sample(pid, threads);
        const pid_t ended = ::wait4(pid, &status, WNOHANG, &usage);
        if (ended == pid)
            break;
        if (ended < 0 && errno != EINTR) {
            std::perror("thread_cpu: wait");
            return 2;
        }
        std::this_thread::sleep_for(sample_interval);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::FILE* report = std::fopen(argv[1], "w");
    if (report == nullptr) {
        std::fprintf(stderr, "thread_cpu: cannot write %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    std::fprintf(report, "wall %.3f\npeak_kb %ld\n", wall, usage.ru_maxrss);
    for (const auto& [tid, t] : threads)
        std::fprintf(report, "thread %ld %d %s %.3f\n", tid, tid == pid ? 1 : 0, t.name.c_str(), t.cpu);
    std::fclose(report);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
