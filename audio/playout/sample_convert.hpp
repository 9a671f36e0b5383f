// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

// Interleaved samples of a VBAN format (bit_fmt 0..5, little-endian) to float and back, for
// the resampler. Integers scale by 2^-(bits-1), as the JACK output does, so full scale maps
// onto -1.0 .. +1.0; the way back rounds to the nearest integer and clips to the format's
// range. 32F passes as it is (a float stream may exceed full scale); 64F narrows and widens.
// The format is resolved once per call; each has its own loop. No allocation, no lock.

// Converts `samples` samples at `in` to floats at `out`; -EINVAL for a format without
// whole-byte samples (nothing written), else 0.
[[nodiscard]] std::int32_t sample_convert_to_float(std::uint32_t bit_fmt, const std::uint8_t* in,
                                                   std::size_t samples, float* out);

// Converts `samples` floats at `in` to the format at `out`, rounded and clipped; -EINVAL for
// a format without whole-byte samples (nothing written), else 0. NaN becomes 0.
[[nodiscard]] std::int32_t sample_convert_from_float(std::uint32_t bit_fmt, const float* in,
                                                     std::size_t samples, std::uint8_t* out);
