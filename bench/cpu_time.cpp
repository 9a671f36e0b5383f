// cpu_time REPORT COMMAND [ARGS]...
// Runs COMMAND and, when it ends, writes its user and system CPU time in microseconds and its
// wall time to REPORT ("user_us system_us wall_us"). A SIGTERM or SIGINT sent to cpu_time is
// passed on to COMMAND, so a server can be measured until it is stopped.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace {

volatile sig_atomic_t child = 0;

void pass_on(int signal_number) {
    if (child > 0) {
        kill(child, signal_number);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s REPORT COMMAND [ARGS]...\n", argv[0]);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        std::perror("exec");
        _exit(127);
    }
    child = pid;
    struct sigaction action {};
    action.sa_handler = pass_on;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    auto wall = std::chrono::steady_clock::now() - start;
    std::FILE* report = std::fopen(argv[1], "w");
    if (report != nullptr) {
        std::fprintf(
            report, "%ld %ld %ld\n", usage.ru_utime.tv_sec * 1000000L + usage.ru_utime.tv_usec,
            usage.ru_stime.tv_sec * 1000000L + usage.ru_stime.tv_usec,
            static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(wall).count()));
        std::fclose(report);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
