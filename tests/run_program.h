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

// Runs `args[0]` with `args` as its argument vector, standard input from
// /dev/null, in the current directory. `extra_env` entries ("NAME=value")
// are added to the environment.
program_result run_program(const std::vector<std::string>& args,
                           const std::vector<std::string>& extra_env = {});

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

#endif
