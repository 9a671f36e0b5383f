// SPDX-License-Identifier: MIT
#include "tests/support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace test_support {

namespace {

using clock = std::chrono::steady_clock;

std::vector<char*> as_c_strings(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        std::string name = text.substr(0, text.find('='));
        bool overridden = false;
        for (const std::string& e : extra) {
            if (e.substr(0, e.find('=')) == name) {
                overridden = true;
            }
        }
        if (!overridden) {
            result.push_back(text);
        }
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

// VBAN_TEST_WRAPPER (for instance "valgrind --error-exitcode=99 -q") runs the project's own
// programs under another program; helpers such as servers run as they are.
std::vector<std::string> wrapped(const std::vector<std::string>& argv) {
    const char* wrapper = std::getenv("VBAN_TEST_WRAPPER");
    std::string name = argv[0].substr(argv[0].rfind('/') + 1);
    if (wrapper == nullptr || (name != "quellor" && name != "dorvane" && name != "limmick")) {
        return argv;
    }
    std::vector<std::string> result;
    std::istringstream words(wrapper);
    std::string word;
    while (words >> word) {
        result.push_back(word);
    }
    result.insert(result.end(), argv.begin(), argv.end());
    return result;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            posix_spawn_file_actions_t* actions) {
    std::vector<std::string> args = wrapped(argv);
    std::vector<std::string> envs = environment_with(env);
    std::vector<char*> c_args = as_c_strings(args);
    std::vector<char*> c_env = as_c_strings(envs);
    // The programs must see default signal dispositions, whatever the test runner set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int error = posix_spawnp(&pid, c_args[0], actions, &attributes, c_args.data(), c_env.data());
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
    return pid;
}

void decode_status(int status, int* exit_status, int* signal_number) {
    if (WIFEXITED(status)) {
        *exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        *signal_number = WTERMSIG(status);
    }
}

}  // namespace

run_result run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
               const std::vector<std::string>& env, const std::string& input) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
        pipe2(in_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    pid_t pid = spawn(argv, env, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);

    // Feed the input from a thread so that a program that writes before it reads cannot
    // dead-lock against us.
    std::thread feeder([fd = in_pipe[1], &input] {
        std::size_t done = 0;
        signal(SIGPIPE, SIG_IGN);
        while (done < input.size()) {
            ssize_t n = write(fd, input.data() + done, input.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        close(fd);
    });

    run_result result;
    auto deadline = clock::now() + timeout;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_streams = 2;
    while (open_streams > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char chunk[65536];
                ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
                if (n > 0) {
                    sinks[i]->append(chunk, static_cast<std::size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_streams;
                }
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0) {
            close(p.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    feeder.join();
    decode_status(status, &result.exit_status, &result.signal);
    return result;
}

background_process::background_process(const std::vector<std::string>& argv,
                                       const std::string& out_path, const std::string& err_path,
                                       const std::vector<std::string>& env, bool piped_input) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int in_pipe[2] = {-1, -1};
    if (piped_input) {
        if (pipe2(in_pipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, out_path.empty() ? "/dev/null" : out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.empty() ? "/dev/null" : err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_ = spawn(argv, env, &actions);
    posix_spawn_file_actions_destroy(&actions);
    if (piped_input) {
        close(in_pipe[0]);
        input_ = in_pipe[1];
    }
}

void background_process::close_input() {
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

background_process::~background_process() {
    close_input();
    if (!reaped_) {
        stop(SIGKILL, std::chrono::seconds(5));
    }
}

bool background_process::reap(bool block) {
    if (reaped_) {
        return true;
    }
    int status = 0;
    pid_t r = waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        decode_status(status, &exit_status_, &signal_);
    }
    return reaped_;
}

bool background_process::running() {
    return !reap(false);
}

int background_process::wait_for_exit(std::chrono::milliseconds timeout) {
    auto deadline = clock::now() + timeout;
    while (!reap(false)) {
        if (clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exit_status_;
}

int background_process::stop(int signal_number, std::chrono::milliseconds timeout) {
    if (!reaped_) {
        kill(pid_, signal_number);
        if (wait_for_exit(timeout) < 0 && !reaped_) {
            kill(pid_, SIGKILL);
            reap(true);
        }
    }
    return exit_status_;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void read_available(int fd, std::string& into) {
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        into.append(chunk, static_cast<std::size_t>(n));
    }
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool wait_for_file_size(const std::string& path, std::size_t size,
                        std::chrono::milliseconds timeout) {
    auto deadline = clock::now() + timeout;
    for (;;) {
        std::error_code error;
        auto current = std::filesystem::file_size(path, error);
        if (!error && current >= size) {
            return true;
        }
        if (clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vban-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace test_support
