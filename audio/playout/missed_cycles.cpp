// SPDX-License-Identifier: MIT
#include "audio/playout/missed_cycles.hpp"

#include <algorithm>

std::uint32_t missed_cycles_observe(missed_cycles* m, std::uint32_t frame, std::uint32_t frames,
                                    std::uint32_t limit) {
    // The frame clock wraps; the distance is read in serial-number arithmetic.
    const auto ahead = static_cast<std::int32_t>(frame - m->next_frame);
    if (!m->seen || ahead > static_cast<std::int64_t>(limit) ||
        ahead < -static_cast<std::int64_t>(limit)) {
        *m = {frame + frames, 0, true};
        return 0;
    }
    if (ahead < 0) {
        // A cycle run late, told a frame already passed: one that the jump counted as missed.
        m->pending -= std::min(m->pending, frames);
        return 0;
    }
    const std::uint32_t confirmed = m->pending;
    m->pending = static_cast<std::uint32_t>(ahead);
    m->next_frame = frame + frames;
    return confirmed;
}
