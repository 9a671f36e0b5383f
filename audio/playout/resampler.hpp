// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Interleaved float frames of a stream's rate converted to an output's rate, times a clock
// correction in ppm: a thin wrapper over libsamplerate (SRC_SINC_FASTEST), chosen over
// libspeexdsp in docs/playout.md. Everything it needs is allocated when it is made; setting
// the correction and converting allocate nothing, take no lock and make no system call.
struct resampler;

// Makes a resampler for `nb_channels` (1..256) from `in_rate` to `out_rate` (both > 0) and
// stores it through `out`; -EINVAL for bad arguments, -ENOMEM when it cannot be made. The
// library takes 128 channels at most: a wider stream is converted in groups of channels.
[[nodiscard]] std::int32_t resampler_init(resampler** out, std::uint32_t nb_channels,
                                          std::uint32_t in_rate, std::uint32_t out_rate);

// Frees the resampler and stores null; null is accepted.
void resampler_release(resampler** place);

// Sets the correction for the next conversions: `ppm` > 0 means the stream's clock is fast,
// so input is consumed that much faster. The library slews to it across the next block, so
// a change makes no step.
void resampler_set_ppm(resampler* handle, double ppm);

// The most output frames that converting `in_frames` can make, at any correction within
// +-2000 ppm: the room to give resampler_process.
[[nodiscard]] std::size_t resampler_max_output(const resampler* handle, std::size_t in_frames);

// Converts `in_frames` frames at `in` into at most `out_room` frames at `out`; returns the
// frames written and stores the input frames taken in `*used` (all of them when `out_room`
// is resampler_max_output). Frames the filter still holds come out with the next calls.
[[nodiscard]] std::size_t resampler_process(resampler* handle, const float* in,
                                            std::size_t in_frames, std::size_t* used, float* out,
                                            std::size_t out_room);
