// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

// Polls `done` every 5 ms, at most `timeout` / 5 ms times; true once it holds. Counting polls
// rather than reading the clock means that a machine that stalls (a virtual machine held up
// by its host) stretches the wait instead of using it up while nothing here could run.
template <typename Predicate>
bool poll_until(Predicate done, std::chrono::milliseconds timeout) {
    using namespace std::chrono_literals;
    for (auto polls = timeout / 5ms; !done(); std::this_thread::sleep_for(5ms)) {
        if (polls-- <= 0) {
            return false;
        }
    }
    return true;
}

}  // namespace test_support
