// SPDX-License-Identifier: MIT
#include "audio/playout/playout_stats.hpp"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>

std::int32_t playout_stats_format(const playout_stats* stats, char* out, std::size_t size) {
    if (stats == nullptr || out == nullptr || size == 0) {
        return -EINVAL;
    }
    // An output that does not keep time holds no latency and follows no clock: counts only.
    if (stats->target_ms == 0.0) {
        return std::snprintf(out, size,
                             "stats: received %" PRIu64 ", lost %" PRIu64 ", duplicated %" PRIu64
                             ", reordered %" PRIu64 ", late %" PRIu64,
                             stats->received, stats->lost, stats->duplicated, stats->reordered,
                             stats->late);
    }
    return std::snprintf(
        out, size,
        "stats: received %" PRIu64 ", lost %" PRIu64 ", duplicated %" PRIu64 ", reordered %" PRIu64
        ", late %" PRIu64 ", underruns %" PRIu64 ", concealed %" PRIu64 ", dropped %" PRIu64
        ", trimmed at start %.1f ms, latency %.1f ms (target %.1f ms), headroom %.1f ms, error "
        "%+.2f ms, ratio %+.0f ppm%s",
        stats->received, stats->lost, stats->duplicated, stats->reordered, stats->late,
        stats->underruns.load(std::memory_order_relaxed),
        stats->concealed.load(std::memory_order_relaxed), stats->dropped, stats->trimmed_ms,
        stats->latency_ms, stats->target_ms, stats->headroom_ms, stats->error_ms + 0.0,
        std::round(stats->ratio_ppm) + 0.0, stats->following ? "" : " (not following)");
}
