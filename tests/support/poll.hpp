// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

// Polls `done` every 5 ms, at most `timeout` / 5 ms times and for at most three times `timeout`
// in all; true once it holds. Counting polls rather than only reading the clock means that a
// machine that stalls (a virtual machine held up by its host) stretches the wait instead of
// using it up while nothing here could run; the cap keeps a predicate that takes long itself
// (one that reads a recording that keeps growing) from stretching it without end.
template <typename Predicate>
bool poll_until(Predicate done, std::chrono::milliseconds timeout) {
    using namespace std::chrono_literals;
    const auto give_up = std::chrono::steady_clock::now() + 3 * timeout;
    for (auto polls = timeout / 5ms; !done(); std::this_thread::sleep_for(5ms)) {
        if (polls-- <= 0 || std::chrono::steady_clock::now() > give_up) {
            return false;
        }
    }
    return true;
}

}  // namespace test_support
