// SPDX-License-Identifier: MIT
#include "audio/playout/sample_convert.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "vban/vban.hpp"

namespace {

// Integer formats by their size in bytes (from the format table), scaled by 2^-(bits-1). Reads and
// writes go through memcpy (or bytes, for 24I) because samples in a datagram have no alignment.
template <std::size_t Size>
struct integer_format {
    static constexpr double full = static_cast<double>(std::int64_t{1} << (8 * Size - 1));

    static std::int32_t read(const std::uint8_t* p) {
        if constexpr (Size == 1) {
            return static_cast<std::int8_t>(p[0]);
        } else if constexpr (Size == 2) {
            std::int16_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        } else if constexpr (Size == 3) {
            // The three bytes at the top of a word bring the sign; the shift back keeps it.
            return static_cast<std::int32_t>(std::uint32_t{p[0]} << 8 | std::uint32_t{p[1]} << 16 |
                                             std::uint32_t{p[2]} << 24) >>
                   8;
        } else {
            std::int32_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
    }

    static void write(std::uint8_t* p, std::int32_t v) {
        if constexpr (Size == 1) {
            p[0] = static_cast<std::uint8_t>(v);
        } else if constexpr (Size == 2) {
            const auto s = static_cast<std::int16_t>(v);
            std::memcpy(p, &s, sizeof s);
        } else if constexpr (Size == 3) {
            const auto u = static_cast<std::uint32_t>(v);
            p[0] = static_cast<std::uint8_t>(u);
            p[1] = static_cast<std::uint8_t>(u >> 8);
            p[2] = static_cast<std::uint8_t>(u >> 16);
        } else {
            std::memcpy(p, &v, sizeof v);
        }
    }

    static void to_float(const std::uint8_t* in, std::size_t samples, float* out) {
        for (std::size_t i = 0; i < samples; ++i) {
            out[i] = static_cast<float>(read(in + i * Size) / full);
        }
    }

    // In double, so that 32I keeps all its bits on the way through the clip.
    static void from_float(const float* in, std::size_t samples, std::uint8_t* out) {
        for (std::size_t i = 0; i < samples; ++i) {
            const double v = std::isnan(in[i]) ? 0.0 : std::nearbyint(in[i] * full);
            write(out + i * Size, static_cast<std::int32_t>(std::clamp(v, -full, full - 1.0)));
        }
    }
};

template <typename T>
struct float_format {
    static void to_float(const std::uint8_t* in, std::size_t samples, float* out) {
        for (std::size_t i = 0; i < samples; ++i) {
            T v;
            std::memcpy(&v, in + i * sizeof(T), sizeof v);
            out[i] = static_cast<float>(v);
        }
    }
    static void from_float(const float* in, std::size_t samples, std::uint8_t* out) {
        for (std::size_t i = 0; i < samples; ++i) {
            const T v = std::isnan(in[i]) ? T{0} : static_cast<T>(in[i]);
            std::memcpy(out + i * sizeof(T), &v, sizeof v);
        }
    }
};

template <typename Visitor>
std::int32_t dispatch(std::uint32_t bit_fmt, Visitor visit) {
    switch (bit_fmt) {
        case BIT_FMT_8I:
            return visit(integer_format<bit_fmt_size[BIT_FMT_8I]>{});
        case BIT_FMT_16I:
            return visit(integer_format<bit_fmt_size[BIT_FMT_16I]>{});
        case BIT_FMT_24I:
            return visit(integer_format<bit_fmt_size[BIT_FMT_24I]>{});
        case BIT_FMT_32I:
            return visit(integer_format<bit_fmt_size[BIT_FMT_32I]>{});
        case BIT_FMT_32F:
            return visit(float_format<float>{});
        case BIT_FMT_64F:
            return visit(float_format<double>{});
        default:
            return -EINVAL;
    }
}

}  // namespace

std::int32_t sample_convert_to_float(std::uint32_t bit_fmt, const std::uint8_t* in,
                                     std::size_t samples, float* out) {
    return dispatch(bit_fmt, [&](auto format) {
        format.to_float(in, samples, out);
        return 0;
    });
}

std::int32_t sample_convert_from_float(std::uint32_t bit_fmt, const float* in, std::size_t samples,
                                       std::uint8_t* out) {
    return dispatch(bit_fmt, [&](auto format) {
        format.from_float(in, samples, out);
        return 0;
    });
}
