#include "tests/run_program.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

temp_dir::temp_dir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/twinwarp-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory");
    dir_ = pattern;
}

temp_dir::~temp_dir()
{
    const std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

std::vector<std::string> environment_with(const std::vector<std::string>& add,
                                          const std::vector<std::string>& drop)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool dropped = false;
        for (const std::string& name : drop)
            dropped = dropped || entry.rfind(name + "=", 0) == 0;
        if (!dropped)
            env.push_back(entry);
    }
    env.insert(env.end(), add.begin(), add.end());
    return env;
}

child_program::child_program(const std::vector<std::string>& args,
                             const std::vector<std::string>& env, int keep_fd,
                             const char* stdout_path)
{
    const std::string out_path = capture_.path("out");
    const std::string err_path = capture_.path("err");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdout_path != nullptr && *stdout_path == '\0')
        posix_spawn_file_actions_addclose(&actions, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1,
                                         stdout_path != nullptr ? stdout_path : out_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (keep_fd != -1)
        ::fcntl(keep_fd, F_SETFD, 0);

    pid_t pid = 0;
    const int spawned =
        posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
    pid_ = pid;
}

child_program::~child_program()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        poll_exit(true);
    }
}

bool child_program::poll_exit(bool block)
{
    if (pid_ <= 0)
        return true;
    int wstatus = 0;
    pid_t got = 0;
    while ((got = ::waitpid(pid_, &wstatus, block ? 0 : WNOHANG)) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("lost track of a child process");
    }
    if (got != pid_)
        return false;
    status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    signal_ = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    pid_ = -1;
    return true;
}

bool child_program::running()
{
    return !poll_exit(false);
}

program_result child_program::result() const
{
    program_result r;
    r.status = status_;
    r.signal = signal_;
    r.out = out_so_far();
    r.err = err_so_far();
    return r;
}

std::optional<program_result> child_program::wait_for(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!poll_exit(false)) {
        if (std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        ::usleep(10000);
    }
    return result();
}

program_result child_program::wait()
{
    poll_exit(true);
    return result();
}

void child_program::terminate(std::chrono::milliseconds grace)
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    if (!wait_for(grace)) {
        ::kill(pid_, SIGKILL);
        poll_exit(true);
    }
}

program_result run_program(const std::vector<std::string>& args,
                           const std::vector<std::string>& env)
{
    return child_program(args, env).wait();
}
