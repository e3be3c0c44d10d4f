#include "tests/run_program.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

child_program::child_program(const std::vector<std::string>& args,
                             const std::vector<std::string>& extra_env)
{
    const std::string out_path = capture_.path("out");
    const std::string err_path = capture_.path("err");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        envp.push_back(*e);
    for (const std::string& e : extra_env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + args[0]);
    pid_ = pid;
}

child_program::~child_program()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

program_result child_program::wait()
{
    int wstatus = 0;
    while (::waitpid(pid_, &wstatus, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("lost track of a child process");
    }
    pid_ = -1;
    program_result result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_file(capture_.path("out"));
    result.err = read_file(capture_.path("err"));
    return result;
}

program_result run_program(const std::vector<std::string>& args,
                           const std::vector<std::string>& extra_env)
{
    return child_program(args, extra_env).wait();
}
