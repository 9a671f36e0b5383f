// SPDX-License-Identifier: MIT
#include "programs/dorvane/receiver_signals.hpp"

#include <signal.h>

#include <atomic>

#include "common/stop_request.hpp"

namespace {

std::atomic<bool> stats_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flags set from a signal handler");

void on_stop(int) {
    stop_request_make();
}

void on_stats(int) {
    stats_requested.store(true, std::memory_order_relaxed);
}

void install(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

}  // namespace

void receiver_signals_install() {
    // Without SA_RESTART a stop cuts short whatever the receiver waits in (a write into a full
    // pipe, a device that opens slowly): the call fails with EINTR and the loop sees the
    // request. The one wait that could last for ever, for a FIFO's reader, looks at the
    // request itself every 50 ms, so that no signal can slip in just before it. SA_RESETHAND:
    // a second signal ends the program by the default action, whatever holds it up.
    install(SIGINT, on_stop, SA_RESETHAND);
    install(SIGTERM, on_stop, SA_RESETHAND);
    // The request for statistics must not disturb a write: it is restarted.
    install(SIGUSR1, on_stats, SA_RESTART);
}

bool receiver_stop_requested() {
    return stop_request_made();
}

bool receiver_take_stats_request() {
    // Asked for every packet: a plain load, and the exchange only when a request has come.
    return stats_requested.load(std::memory_order_relaxed) &&
           stats_requested.exchange(false, std::memory_order_relaxed);
}
