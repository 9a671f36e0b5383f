// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "vban/stream_config.hpp"

struct playout;

constexpr std::int32_t AUDIO_DIRECTION_IN = 0;   // capture
constexpr std::int32_t AUDIO_DIRECTION_OUT = 1;  // playback

// What a wait for the input found ready (a mask).
constexpr std::int32_t AUDIO_WAIT_INPUT = 1;  // the input has frames, an end or an error
constexpr std::int32_t AUDIO_WAIT_OTHER = 2;  // the descriptor waited on with it is readable

// One sound device, file or pipe. The audio object drives it: close before every open (also
// before the first), transfers in the direction it was opened for, close once more at the
// end. All members run on the thread that uses the audio object.
class audio_backend {
public:
    virtual ~audio_backend() = default;

    // Opens the device for `config`. `device` is empty for the backend's own default;
    // `buffer_size` (bytes) means what each backend makes of it. 0 or a negative code.
    [[nodiscard]] virtual std::int32_t open(const char* device, std::int32_t direction,
                                            std::uint64_t buffer_size,
                                            const stream_config* config) = 0;

    // Closes whatever is open; 0 also when nothing was.
    virtual std::int32_t close() = 0;

    // Whether the open device takes another stream configuration now. An output that makes a
    // new file at every change (a recording's takes) declines for a while after one, and the
    // audio object then keeps the configuration it has open.
    [[nodiscard]] virtual bool accepts_change_now() const { return true; }

    // Plays interleaved frames; the number of bytes taken, or a negative code.
    [[nodiscard]] virtual std::int32_t write(const void* data, std::uint64_t size) = 0;

    // Captures interleaved frames; the number of bytes delivered, or a negative code. A
    // backend that cannot capture keeps this one, which answers -ENODEV.
    [[nodiscard]] virtual std::int32_t read(void* data, std::uint64_t size);

    // Capture: waits at most `timeout_ms` until the input has something for a read (frames,
    // its end, an error to report) or `other_fd` (-1: none) is readable, so that a program
    // can serve its socket while the input is quiet. The AUDIO_WAIT_* mask, 0 after the
    // timeout. When it cannot wait it says the input is ready, and the read waits: this
    // default, for a backend that has no way to.
    [[nodiscard]] virtual std::int32_t wait_input(int /*other_fd*/, int /*timeout_ms*/) {
        return AUDIO_WAIT_INPUT;
    }

    // An output that keeps its own time (a sound card, a JACK server) plays network streams
    // through a playout, which the audio object makes after every open and feeds with what
    // the members below tell. The others keep these, which say they do not keep time.

    // The name of the VBAN stream, for a sound server that shows each stream by name (a
    // desktop mixer). Set before the first open; the others ignore it.
    virtual void set_stream_name(const char* /*name*/) {}

    // The latency the playout will hold, so that the output sizes its own buffer for it at
    // the next open (twice that and more must fit, for bursts and for the bound's slack).
    virtual void set_target_latency(std::uint32_t /*ms*/) {}
    // True for an open output that keeps its own time.
    [[nodiscard]] virtual bool keeps_time() const { return false; }
    // True for an output whose own thread takes each period from the playout (and plays
    // silence itself where audio is late); the others are given what they play.
    [[nodiscard]] virtual bool takes_from_playout() const { return false; }
    // The device's rate in Hz, and the frames it plays per period. A capture that runs at
    // its device's own rate (a JACK server's) is opened with rate 0 and then says it here.
    [[nodiscard]] virtual std::uint32_t device_rate() const { return 0; }
    [[nodiscard]] virtual std::uint32_t period_frames() const { return 0; }
    // How long, in frames, a frame written now waits before the device takes it: the frames
    // written and not taken yet, counted smoothly where the device takes a period at a time
    // (what is queued less the share of the period that has gone by). Below 0 when the
    // device has got ahead of what it was given: its next period will come up short by that.
    [[nodiscard]] virtual std::int32_t device_fill() { return 0; }
    // 0 while the output can play; when it cannot any more (its server went away), the code
    // that a write would end with, its line logged as a write logs it. For the times when
    // nothing is written to it (the playout fills up to its target).
    [[nodiscard]] virtual std::int32_t device_error() { return 0; }
    // The playout that feeds the output from now on (null: none), for the output's own use:
    // whether to play yet, where to report that it ran dry. Set after every open; a close
    // forgets it before it returns.
    virtual void attach_playout(playout*) {}
};
