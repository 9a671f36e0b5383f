// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// One JACK cycle's conversion: interleaved VBAN samples, as they lie in the ring buffer's two
// readable segments, to one float buffer per channel.
//
// Integers are little-endian and signed and scaled by 2^-(bits-1) in single precision, so
// every integer format maps its full scale onto -1.0 .. +1.0 (the largest 32-bit value rounds
// to 1.0); 32F passes unchanged; 64F is rounded to single precision. 12I and 10I have no
// whole-byte samples: they consume nothing and play silence.
//
// `first` is the segment at the read position; `second` holds the bytes that continue it
// from the start of the storage (empty when the readable bytes do not wrap). Together they
// must hold at least frames × nb_channels × sample size bytes; bytes past that are left.
// Sample s of frame f lands in ports[s][f]. The one sample that straddles the end of `first`
// is assembled in a scratch area on the stack; every other sample is read where it lies.
//
// Returns the bytes consumed: frames × nb_channels × sample size. Called on the JACK process
// thread: allocates nothing, takes no lock, makes no system call. The format is resolved
// once per call, and each format has its own loops.
std::size_t jack_convert_cycle(std::uint32_t bit_fmt, std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second, std::uint32_t frames,
                               std::uint32_t nb_channels, float* const* ports);

// The way back, for capture: `frames` frames of each channel's float buffer from frame
// `first_frame` on, interleaved at `out` (frame after frame, channel 0 first), as they are.
// Called on the JACK process thread: allocates nothing, takes no lock, makes no system call.
// The samples become a stream format on another thread, scaled, rounded and clipped as
// sample_convert_from_float does: the inverse of the scaling above.
void jack_interleave_cycle(const float* const* ports, std::uint32_t nb_channels,
                           std::size_t first_frame, std::size_t frames, float* out);
