// SPDX-License-Identifier: MIT
// pace BYTES_PER_SECOND [CHUNK]
// Copies standard input to standard output in CHUNK-byte writes (default 1024) at
// BYTES_PER_SECOND, each write on an absolute deadline so that delays do not add up: a capture
// device's pace, for feeding a program through a pipe.

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s BYTES_PER_SECOND [CHUNK]\n", argv[0]);
        return 2;
    }
    double rate = std::atof(argv[1]);
    long chunk = argc == 3 ? std::atol(argv[2]) : 1024;
    if (rate <= 0 || chunk <= 0) {
        std::fprintf(stderr, "%s: the rate and the chunk must be positive\n", argv[0]);
        return 2;
    }
    std::vector<char> buffer(static_cast<std::size_t>(chunk));
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long step_ns = static_cast<long>(1e9 * static_cast<double>(chunk) / rate);
    for (;;) {
        // Fill a whole chunk unless the input ends.
        std::size_t filled = 0;
        while (filled < buffer.size()) {
            ssize_t got = read(0, buffer.data() + filled, buffer.size() - filled);
            if (got <= 0) {
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        if (filled == 0) {
            return 0;
        }
        deadline.tv_nsec += step_ns;
        while (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            deadline.tv_sec += 1;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        for (std::size_t done = 0; done < filled;) {
            ssize_t put = write(1, buffer.data() + done, filled - done);
            if (put <= 0) {
                return 1;
            }
            done += static_cast<std::size_t>(put);
        }
        if (filled < buffer.size()) {
            return 0;
        }
    }
}
