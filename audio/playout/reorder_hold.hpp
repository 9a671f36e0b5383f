// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "vban/vban.hpp"

// Packets that arrived ahead of a missing one, kept until it comes or is given up. Slot i
// holds the counter that is i mod the slot count, so a counter's place is known without a
// search; the caller keeps every stored counter within REORDER_HOLD_SLOTS of the next one to
// play. Fixed storage (about 92 KiB, inside the playout object, allocated once); one thread.

// Packets the hold can keep: at 256 frames a packet and 48 kHz, 340 ms of audio.
constexpr std::uint32_t REORDER_HOLD_SLOTS = 64;

// One held packet.
struct reorder_slot {
    bool used = false;                                  // holds a packet
    std::uint32_t counter = 0;                          // its counter
    std::uint32_t frames = 0;                           // its frames
    std::uint32_t bytes = 0;                            // its payload's size
    std::array<std::uint8_t, VBAN_DATA_MAX_SIZE> data;  // its payload
};

// The slots and what they hold in all.
struct reorder_hold {
    std::array<reorder_slot, REORDER_HOLD_SLOTS> slots;
    std::uint32_t count = 0;        // packets held
    std::uint64_t held_frames = 0;  // frames in them
};

// Keeps a copy of one packet (at most VBAN_DATA_MAX_SIZE bytes) under its counter.
void reorder_hold_store(reorder_hold* hold, std::uint32_t counter,
                        std::span<const std::uint8_t> payload, std::uint32_t frames);

// The packet held under `counter`, or null.
[[nodiscard]] const reorder_slot* reorder_hold_find(const reorder_hold* hold,
                                                    std::uint32_t counter);

// Forgets the packet held under `counter`, if any.
void reorder_hold_remove(reorder_hold* hold, std::uint32_t counter);

// Forgets every packet.
void reorder_hold_clear(reorder_hold* hold);
