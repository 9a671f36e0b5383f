// SPDX-License-Identifier: MIT
#include "audio/playout/reorder_hold.hpp"

#include <algorithm>

void reorder_hold_store(reorder_hold* hold, std::uint32_t counter,
                        std::span<const std::uint8_t> payload, std::uint32_t frames) {
    reorder_slot& slot = hold->slots[counter % REORDER_HOLD_SLOTS];
    if (slot.used) {
        reorder_hold_remove(hold, slot.counter);
    }
    const std::size_t bytes = std::min(payload.size(), slot.data.size());
    std::copy_n(payload.begin(), bytes, slot.data.begin());
    slot.used = true;
    slot.counter = counter;
    slot.frames = frames;
    slot.bytes = static_cast<std::uint32_t>(bytes);
    ++hold->count;
    hold->held_frames += frames;
}

const reorder_slot* reorder_hold_find(const reorder_hold* hold, std::uint32_t counter) {
    const reorder_slot& slot = hold->slots[counter % REORDER_HOLD_SLOTS];
    return slot.used && slot.counter == counter ? &slot : nullptr;
}

void reorder_hold_remove(reorder_hold* hold, std::uint32_t counter) {
    reorder_slot& slot = hold->slots[counter % REORDER_HOLD_SLOTS];
    if (slot.used && slot.counter == counter) {
        slot.used = false;
        --hold->count;
        hold->held_frames -= slot.frames;
    }
}

void reorder_hold_clear(reorder_hold* hold) {
    for (reorder_slot& slot : hold->slots) {
        slot.used = false;
    }
    hold->count = 0;
    hold->held_frames = 0;
}
