// Runs a program as a child process and collects what it prints.
#ifndef TESTS_RUN_PROGRAM_H
#define TESTS_RUN_PROGRAM_H

#include <string>
#include <vector>

struct program_result {
    int status = -1;  // exit status, or 128 + the signal that ended it
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

// A program started as a child process, its output collected in files.
class child_program {
public:
    // Starts `args[0]` with `args` as its argument vector, standard input from
    // /dev/null, in the current directory. `extra_env` entries ("NAME=value")
    // are added to the environment.
    explicit child_program(const std::vector<std::string>& args,
                           const std::vector<std::string>& extra_env = {});
    ~child_program();
    child_program(const child_program&) = delete;
    child_program& operator=(const child_program&) = delete;

    int pid() const { return pid_; }
    // What the program has written to standard output so far.
    std::string out_so_far() const { return read_file(capture_.path("out")); }
    // Waits for the program to end.
    program_result wait();

private:
    temp_dir capture_;
    int pid_ = -1;
};

// Runs a program to its end; see child_program.
program_result run_program(const std::vector<std::string>& args,
                           const std::vector<std::string>& extra_env = {});

#endif
