// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Runs the real programs for the tests: argument vectors, captured streams, exit statuses.
namespace test_support {

struct run_result {
    int exit_status = -1;  // 0..255, or -1 when the program did not exit by itself
    int signal = 0;        // the signal that ended it, 0 if none
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] is the program path) to its end, feeding it `input` on standard input,
// and kills it after `timeout`. `env` entries ("NAME=value") are added to the environment.
run_result run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
               const std::vector<std::string>& env = {}, const std::string& input = {});

// A program left running in the background while a test talks to it.
class background_process {
public:
    // Starts `argv` with standard output and standard error written to the given files
    // (empty: /dev/null) and standard input from /dev/null, or from a pipe whose writing end
    // input() gives when `piped_input` is set.
    background_process(const std::vector<std::string>& argv, const std::string& out_path,
                       const std::string& err_path, const std::vector<std::string>& env = {},
                       bool piped_input = false);
    ~background_process();
    background_process(const background_process&) = delete;
    background_process& operator=(const background_process&) = delete;

    pid_t pid() const { return pid_; }
    // The writing end of standard input (with piped_input), -1 otherwise or once closed.
    int input() const { return input_; }
    void close_input();
    // True while the process has not ended.
    bool running();
    // Waits up to `timeout` for the end; the exit status as for run_result, -1 if still alive.
    int wait_for_exit(std::chrono::milliseconds timeout);
    // Sends `signal` and waits for the end.
    int stop(int signal, std::chrono::milliseconds timeout);
    int signal_received() const { return signal_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    bool reaped_ = false;
    int exit_status_ = -1;
    int signal_ = 0;
    bool reap(bool block);
};

// Reads a whole file; empty when it does not exist.
std::string read_file(const std::string& path);

// Appends to `into` whatever the non-blocking `fd` holds now, without waiting.
void read_available(int fd, std::string& into);

// Writes `content` to `path`, replacing what was there.
void write_file(const std::string& path, const std::string& content);

// Waits until the file at `path` holds at least `size` bytes; false after `timeout`.
bool wait_for_file_size(const std::string& path, std::size_t size,
                        std::chrono::milliseconds timeout);

// A fresh directory under the system's temporary folder, removed with its contents at the end.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace test_support
