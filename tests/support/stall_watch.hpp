// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace test_support {

// How late this machine wakes a thread that only sleeps, a millisecond at a time, while the
// watch lives: a virtual machine whose host holds it up shows here as it does to every
// audio server and sender of a test.
class stall_watch {
public:
    stall_watch() : thread_([this] { watch(); }) {}
    ~stall_watch() {
        stop_.store(true);
        thread_.join();
    }
    stall_watch(const stall_watch&) = delete;
    stall_watch& operator=(const stall_watch&) = delete;

    std::chrono::microseconds worst() const { return std::chrono::microseconds(worst_us_.load()); }

private:
    void watch() {
        using clock = std::chrono::steady_clock;
        while (!stop_.load()) {
            const clock::time_point asked = clock::now() + std::chrono::milliseconds(1);
            std::this_thread::sleep_until(asked);
            const long long late =
                std::chrono::duration_cast<std::chrono::microseconds>(clock::now() - asked).count();
            worst_us_.store(std::max(worst_us_.load(), late));
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<long long> worst_us_{0};
    std::thread thread_;  // last: it starts once the rest is made
};

// Runs a test that holds audio to real time: its failures are the test's, unless the machine
// held a sleeping thread up by more than `limit` meanwhile. Such a stall runs any audio
// server dry whatever the program does, so the test is then skipped, with what failed.
template <typename Body>
void unless_the_machine_stalls(std::chrono::milliseconds limit, Body body) {
    testing::TestPartResultArray results;
    std::chrono::microseconds worst{};
    {
        stall_watch watch;
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        body();
        worst = watch.worst();
    }
    bool failed = false;
    for (int i = 0; i < results.size(); ++i) {
        failed = failed || results.GetTestPartResult(i).failed();
    }
    if (failed && worst > limit) {
        for (int i = 0; i < results.size(); ++i) {
            std::fprintf(stderr, "%s\n", results.GetTestPartResult(i).message());
        }
        GTEST_SKIP() << "the machine held a sleeping thread up by " << worst.count() / 1000
                     << " ms: it does not keep the time this test needs";
    }
    for (int i = 0; i < results.size(); ++i) {
        const testing::TestPartResult& result = results.GetTestPartResult(i);
        if (result.skipped()) {
            GTEST_SKIP() << result.message();
        }
        if (result.failed()) {
            ADD_FAILURE_AT(result.file_name() != nullptr ? result.file_name() : "?",
                           result.line_number())
                << result.message();
        }
    }
}

}  // namespace test_support
