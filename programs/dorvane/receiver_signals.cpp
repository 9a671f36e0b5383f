// SPDX-License-Identifier: MIT
#include "programs/dorvane/receiver_signals.hpp"

#include <signal.h>

#include <atomic>

namespace {

std::atomic<bool> stop_requested{false};
std::atomic<bool> stats_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flags set from a signal handler");

void on_stop(int) {
    stop_requested.store(true, std::memory_order_relaxed);
}

void on_stats(int) {
    stats_requested.store(true, std::memory_order_relaxed);
}

// SA_RESTART keeps a blocking write to a device or a pipe going; the receive has a timeout,
// which the system never restarts, so the loop sees the flag.
void install(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | flags;
    sigaction(signal_number, &action, nullptr);
}

}  // namespace

void receiver_signals_install() {
    // SA_RESETHAND: a second signal, while the output hangs (a reader that never comes to the
    // named pipe), ends the program by the default action.
    install(SIGINT, on_stop, SA_RESETHAND);
    install(SIGTERM, on_stop, SA_RESETHAND);
    install(SIGUSR1, on_stats, 0);
}

bool receiver_stop_requested() {
    return stop_requested.load(std::memory_order_relaxed);
}

bool receiver_take_stats_request() {
    // Asked for every packet: a plain load, and the exchange only when a request has come.
    return stats_requested.load(std::memory_order_relaxed) &&
           stats_requested.exchange(false, std::memory_order_relaxed);
}
