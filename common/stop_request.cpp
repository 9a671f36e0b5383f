// SPDX-License-Identifier: MIT
#include "common/stop_request.hpp"

#include <atomic>

namespace {

std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

void stop_request_make() {
    requested.store(true, std::memory_order_relaxed);
}

bool stop_request_made() {
    return requested.load(std::memory_order_relaxed);
}
