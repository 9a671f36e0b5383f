// SPDX-License-Identifier: MIT
#include "audio/playout/playout_stats.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>

std::int32_t playout_stats_format(const playout_stats* stats, char* out, std::size_t size) {
    if (stats == nullptr || out == nullptr || size == 0) {
        return -EINVAL;
    }
    const int counts = std::snprintf(out, size,
                                     "stats: received %" PRIu64 ", lost %" PRIu64
                                     ", duplicated %" PRIu64 ", reordered %" PRIu64
                                     ", late %" PRIu64 ", strays %" PRIu64 ", restarts %" PRIu64,
                                     stats->received, stats->lost, stats->duplicated,
                                     stats->reordered, stats->late, stats->strays, stats->restarts);
    const std::size_t used = counts > 0 ? std::min(static_cast<std::size_t>(counts), size - 1) : 0;
    // An output that does not keep time holds no latency and follows no clock: counts only.
    const int rest =
        stats->target_ms == 0.0
            ? std::snprintf(out + used, size - used, ", dropped %" PRIu64, stats->dropped)
            : std::snprintf(
                  out + used, size - used,
                  ", underruns %" PRIu64 ", concealed %" PRIu64 ", dropped %" PRIu64
                  ", trimmed at start %.1f ms, latency %.1f ms (target %.1f ms), headroom %.1f ms, "
                  "error %+.2f ms, ratio %+.0f ppm%s",
                  stats->underruns.load(std::memory_order_relaxed),
                  stats->concealed.load(std::memory_order_relaxed), stats->dropped,
                  stats->trimmed_ms, stats->latency_ms, stats->target_ms, stats->headroom_ms,
                  stats->error_ms + 0.0, std::round(stats->ratio_ppm) + 0.0,
                  stats->following ? "" : " (not following)");
    return counts < 0 || rest < 0 ? -EINVAL : counts + rest;
}
