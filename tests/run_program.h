// Runs programs as child processes and collects what they print; files and
// scratch directories for the tests.
#ifndef TESTS_RUN_PROGRAM_H
#define TESTS_RUN_PROGRAM_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct program_result {
    int status = -1;  // exit status, or 128 + the signal that ended it
    int signal = 0;   // the signal that ended it, 0 when it exited
    std::string out;  // standard output
    std::string err;  // standard error
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// A fresh empty directory under the system's temporary directory, removed
// with its contents when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

// The test's own environment without the variables named in `drop`, with
// the entries of `add` ("NAME=value") after it.
std::vector<std::string> environment_with(const std::vector<std::string>& add = {},
                                          const std::vector<std::string>& drop = {});

// A program started as a child process, its output collected in files. It is
// killed and reaped when the object goes, if it is still running.
class child_program {
public:
    // Starts `args[0]` (looked up in PATH when it has no slash) with `args`
    // as its argument vector, `env` as its whole environment and standard
    // input from /dev/null. `keep_fd`, when not -1, stays open in the child.
    // `stdout_path`, when given, takes standard output instead of the
    // capture; an empty one leaves it closed. Throws std::runtime_error when
    // the program cannot be started.
    explicit child_program(const std::vector<std::string>& args,
                           const std::vector<std::string>& env = environment_with(),
                           int keep_fd = -1, const char* stdout_path = nullptr);
    ~child_program();
    child_program(const child_program&) = delete;
    child_program& operator=(const child_program&) = delete;

    int pid() const { return pid_; }
    std::string out_so_far() const { return read_file(capture_.path("out")); }
    std::string err_so_far() const { return read_file(capture_.path("err")); }
    bool running();

    // Waits for the program to end; nothing when it still runs after
    // `timeout`.
    std::optional<program_result> wait_for(std::chrono::milliseconds timeout);
    program_result wait();
    // SIGTERM, then SIGKILL after `grace`.
    void terminate(std::chrono::milliseconds grace = std::chrono::seconds(3));

private:
    bool poll_exit(bool block);
    program_result result() const;

    temp_dir capture_;
    int pid_ = -1;
    int status_ = -1;
    int signal_ = 0;
};

// Runs a program to its end; see child_program.
program_result run_program(const std::vector<std::string>& args,
                           const std::vector<std::string>& env = environment_with());

#endif
