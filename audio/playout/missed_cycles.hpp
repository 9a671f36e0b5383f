// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Which cycles a pulling device's server ran without the receiver, from the frame (on the
// server's frame clock) each of the receiver's cycles begins at. A server runs its cycle
// without a client that has not finished the one before; what was due in it played as
// something else, and is skipped so that the rest plays at its time. A late client may also
// be run twice in a row instead, the second time told the same frame: then nothing was missed.
// So a jump is only confirmed by the cycle after it. Plain state, no allocation, for the
// device's thread.
struct missed_cycles {
    std::uint32_t next_frame = 0;  // where the next cycle begins, as the last one ended
    std::uint32_t pending = 0;     // frames a jump said were missed, not confirmed yet
    bool seen = false;
};

// One cycle of `frames` that begins at `frame`: the frames confirmed missed, to skip now. A
// jump of more than `limit` frames, forward or back, is a clock started again (a new server,
// or one that freewheeled), not a missed cycle.
[[nodiscard]] std::uint32_t missed_cycles_observe(missed_cycles* m, std::uint32_t frame,
                                                  std::uint32_t frames, std::uint32_t limit);
