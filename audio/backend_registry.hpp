// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "audio/audio_backend.hpp"

// One row of the backend table: a name, the functions that create such a backend, and what the
// backend can do, so that programs ask the table rather than compare names.
struct audio_backend_entry {
    char name[32];
    std::int32_t (*init)(audio_backend** out);
    // Creates the backend for capture where capture has a class of its own; null where `init`
    // serves both directions.
    std::int32_t (*init_capture)(audio_backend** out);
    bool can_capture;  // its read delivers frames: a sender may capture from it
    bool clocked;      // an output that plays at its own clock, not as fast as it is fed
    bool built;        // this build holds it (its library was found): else `init` is null
    bool fixed_rate;   // it captures at its device's own rate, which a sender's -r may only confirm
    bool device_is_path = false;  // its device is a file or FIFO here, never told to peers
    // Its read returns what the input has ready without waiting for the rest, so a sender may
    // ask for many packets at once and gets one while the input only has one.
    bool reads_what_is_ready = false;
};

// Every backend, built or not, in lookup and help order: alsa, jack, pulse, pipe, file. The
// first row built is the default.
extern const std::span<const audio_backend_entry> audio_backends;

// The row called `name` (empty: the default row), built or not; null for a name that no row
// has.
[[nodiscard]] const audio_backend_entry* audio_backend_find(const char* name);

// The first row built that can capture: the default of a sender (pipe and file always can).
[[nodiscard]] const audio_backend_entry& audio_backend_capture_default();

// Creates a closed backend of the kind called `name` (empty: the default), for `direction`,
// and stores it through `out`; the caller owns it. 0, or -22 for a name that is not in the
// table or not in this build, or the init function's own failure.
[[nodiscard]] std::int32_t audio_backend_get_by_name(const char* name, audio_backend** out,
                                                     std::int32_t direction = AUDIO_DIRECTION_OUT);

// What a peer may be told of the device a program plays or captures with (the device field of
// a ping's reply), into `out` of `size` bytes, cut to fit: the backend's name ("" is the
// default's), then the device's name where it names a device rather than a path of this
// machine ("alsa hw:1,0", "jack studio"; "file" and "pipe" alone).
void audio_backend_describe(const char* backend, const char* device, char* out, std::size_t size);

// The sentence that lists the backends built, for usage texts. The same text on every call.
[[nodiscard]] const char* audio_backend_help();

// The same sentence for a sender: only the rows that can capture, and their default.
[[nodiscard]] const char* audio_backend_help_capture();
