// SPDX-License-Identifier: MIT
#include "audio/backends/jack_convert.hpp"

#include <algorithm>
#include <cstring>

#include "vban/vban.hpp"

namespace {

// Four samples at a time, in SSE-sized vectors (GCC's vector extensions, so no intrinsics).
using float4 = float __attribute__((vector_size(16)));
using int4 = std::int32_t __attribute__((vector_size(16)));

float4 load_float4(const std::uint8_t* p) {
    float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store(float* target, float4 v) {
    std::memcpy(target, &v, sizeof v);
}

// One decoder per format: the sample size, one sample where it lies, and four consecutive
// samples at once. Loads go through memcpy because samples in the ring buffer have no
// alignment.
struct int8_sample {
    static constexpr std::size_t size = 1;
    static float decode(const std::uint8_t* p) {
        return static_cast<float>(static_cast<std::int8_t>(p[0])) * 0x1p-7f;
    }
    static float4 decode4(const std::uint8_t* p) {
        using char4 = std::int8_t __attribute__((vector_size(4)));
        char4 v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_convertvector(__builtin_convertvector(v, int4), float4) * 0x1p-7f;
    }
};

struct int16_sample {
    static constexpr std::size_t size = 2;
    static float decode(const std::uint8_t* p) {
        std::int16_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<float>(v) * 0x1p-15f;
    }
    static float4 decode4(const std::uint8_t* p) {
        using short4 = std::int16_t __attribute__((vector_size(8)));
        short4 v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_convertvector(__builtin_convertvector(v, int4), float4) * 0x1p-15f;
    }
};

struct int24_sample {
    static constexpr std::size_t size = 3;
    // The three bytes fill the top of a 32-bit word, so byte 2 brings the sign without an
    // extension step; the low byte is 0, so the conversion stays exact.
    static std::int32_t word(const std::uint8_t* p) {
        return static_cast<std::int32_t>(std::uint32_t{p[0]} << 8 | std::uint32_t{p[1]} << 16 |
                                         std::uint32_t{p[2]} << 24);
    }
    static float decode(const std::uint8_t* p) { return static_cast<float>(word(p)) * 0x1p-31f; }
    // Four samples are 12 bytes: two overlapping 8-byte loads hold them, each sample's bytes
    // shifted to the top of its word and the byte below it masked off.
    static float4 decode4(const std::uint8_t* p) {
        std::uint64_t low;
        std::uint64_t high;
        std::memcpy(&low, p, sizeof low);
        std::memcpy(&high, p + 4, sizeof high);
        const int4 v = {static_cast<std::int32_t>(low << 8),
                        static_cast<std::int32_t>((low >> 16) & 0xFFFFFF00u),
                        static_cast<std::int32_t>((high >> 8) & 0xFFFFFF00u),
                        static_cast<std::int32_t>((high >> 32) & 0xFFFFFF00u)};
        return __builtin_convertvector(v, float4) * 0x1p-31f;
    }
};

struct int32_sample {
    static constexpr std::size_t size = 4;
    static float decode(const std::uint8_t* p) {
        std::int32_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<float>(v) * 0x1p-31f;
    }
    static float4 decode4(const std::uint8_t* p) {
        int4 v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_convertvector(v, float4) * 0x1p-31f;
    }
};

struct float32_sample {
    static constexpr std::size_t size = 4;
    static float decode(const std::uint8_t* p) {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static float4 decode4(const std::uint8_t* p) { return load_float4(p); }
};

struct float64_sample {
    static constexpr std::size_t size = 8;
    static float decode(const std::uint8_t* p) {
        double v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<float>(v);
    }
    static float4 decode4(const std::uint8_t* p) {
        using double4 = double __attribute__((vector_size(32)));
        double4 v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_convertvector(v, float4);
    }
};

// Whole frames, four at a time: the four frames' samples of one channel become one vector
// for that channel's port buffer. Mono is a plain run; stereo splits two vectors of
// interleaved pairs; wider frames go in blocks of four channels, each a 4 x 4 transpose,
// and the channels left over (fewer than four) one sample at a time.
template <typename Sample>
void convert_frames(const std::uint8_t* source, std::size_t frame, std::size_t frames,
                    std::size_t channels, float* const* ports) {
    constexpr std::size_t size = Sample::size;
    const std::size_t stride = channels * size;
    std::size_t f = 0;
    if (channels == 1) {
        for (; f + 4 <= frames; f += 4) {
            store(ports[0] + frame + f, Sample::decode4(source + f * size));
        }
    } else if (channels == 2) {
        for (; f + 4 <= frames; f += 4) {
            const std::uint8_t* row = source + f * stride;
            const float4 a = Sample::decode4(row);
            const float4 b = Sample::decode4(row + 4 * size);
            store(ports[0] + frame + f, __builtin_shufflevector(a, b, 0, 2, 4, 6));
            store(ports[1] + frame + f, __builtin_shufflevector(a, b, 1, 3, 5, 7));
        }
    } else {
        for (; f + 4 <= frames; f += 4) {
            const std::uint8_t* row = source + f * stride;
            std::size_t c = 0;
            for (; c + 4 <= channels; c += 4) {
                const std::uint8_t* block = row + c * size;
                const float4 r0 = Sample::decode4(block);
                const float4 r1 = Sample::decode4(block + stride);
                const float4 r2 = Sample::decode4(block + 2 * stride);
                const float4 r3 = Sample::decode4(block + 3 * stride);
                const float4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
                const float4 t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
                const float4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
                const float4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
                store(ports[c] + frame + f, __builtin_shufflevector(t0, t2, 0, 1, 4, 5));
                store(ports[c + 1] + frame + f, __builtin_shufflevector(t0, t2, 2, 3, 6, 7));
                store(ports[c + 2] + frame + f, __builtin_shufflevector(t1, t3, 0, 1, 4, 5));
                store(ports[c + 3] + frame + f, __builtin_shufflevector(t1, t3, 2, 3, 6, 7));
            }
            for (; c < channels; ++c) {
                for (std::size_t j = 0; j < 4; ++j) {
                    ports[c][frame + f + j] = Sample::decode(row + j * stride + c * size);
                }
            }
        }
    }
    for (; f < frames; ++f) {
        for (std::size_t c = 0; c < channels; ++c) {
            ports[c][frame + f] = Sample::decode(source + f * stride + c * size);
        }
    }
}

// Converts `count` consecutive samples that lie contiguously at `source`, the first of them
// being sample number `start` of the cycle (frame start / channels, channel start % channels):
// the end of a frame begun earlier, then whole frames, then the start of one more frame.
template <typename Sample>
void convert_run(const std::uint8_t* source, std::size_t start, std::size_t count,
                 std::size_t channels, float* const* ports) {
    std::size_t frame = start / channels;
    std::size_t channel = start % channels;
    for (; count > 0 && channel != 0; --count) {
        ports[channel][frame] = Sample::decode(source);
        source += Sample::size;
        if (++channel == channels) {
            channel = 0;
            ++frame;
        }
    }
    const std::size_t whole = count / channels;
    convert_frames<Sample>(source, frame, whole, channels, ports);
    source += whole * channels * Sample::size;
    frame += whole;
    count -= whole * channels;
    for (std::size_t c = 0; c < count; ++c) {
        ports[c][frame] = Sample::decode(source + c * Sample::size);
    }
}

template <typename Sample>
std::size_t convert_cycle(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                          std::size_t frames, std::size_t channels, float* const* ports) {
    constexpr std::size_t size = Sample::size;
    const std::size_t total = frames * channels;
    if (total == 0) {
        return 0;
    }
    const std::size_t in_first = std::min(first.size() / size, total);
    convert_run<Sample>(first.data(), 0, in_first, channels, ports);
    if (in_first == total) {
        return total * size;
    }

    // The storage may end inside a sample: its head is at the end of the first segment, its
    // tail at the start of the second. Only that sample is copied.
    std::size_t next = in_first;
    const std::uint8_t* rest = second.data();
    const std::size_t head = first.size() - in_first * size;
    if (head != 0) {
        std::uint8_t scratch[8];
        std::memcpy(scratch, first.data() + in_first * size, head);
        std::memcpy(scratch + head, rest, size - head);
        convert_run<Sample>(scratch, next, 1, channels, ports);
        rest += size - head;
        ++next;
    }
    convert_run<Sample>(rest, next, total - next, channels, ports);
    return total * size;
}

}  // namespace

std::size_t jack_convert_cycle(std::uint32_t bit_fmt, std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second, std::uint32_t frames,
                               std::uint32_t nb_channels, float* const* ports) {
    switch (bit_fmt) {
        case BIT_FMT_8I:
            return convert_cycle<int8_sample>(first, second, frames, nb_channels, ports);
        case BIT_FMT_16I:
            return convert_cycle<int16_sample>(first, second, frames, nb_channels, ports);
        case BIT_FMT_24I:
            return convert_cycle<int24_sample>(first, second, frames, nb_channels, ports);
        case BIT_FMT_32I:
            return convert_cycle<int32_sample>(first, second, frames, nb_channels, ports);
        case BIT_FMT_32F:
            return convert_cycle<float32_sample>(first, second, frames, nb_channels, ports);
        case BIT_FMT_64F:
            return convert_cycle<float64_sample>(first, second, frames, nb_channels, ports);
        default:
            for (std::uint32_t c = 0; c < nb_channels; ++c) {
                std::fill_n(ports[c], frames, 0.0f);
            }
            return 0;
    }
}

void jack_interleave_cycle(const float* const* ports, std::uint32_t nb_channels,
                           std::size_t first_frame, std::size_t frames, float* out) {
    // One channel at a time: each port buffer is read in order, and the writes of a channel
    // stride through the interleaved block.
    for (std::uint32_t c = 0; c < nb_channels; ++c) {
        const float* port = ports[c] + first_frame;
        float* target = out + c;
        for (std::size_t f = 0; f < frames; ++f) {
            target[f * nb_channels] = port[f];
        }
    }
}
