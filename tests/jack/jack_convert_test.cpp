// SPDX-License-Identifier: MIT
// One cycle's conversion from the ring buffer's two readable segments to port buffers, and
// a client's close that libjack does not finish.

#include "audio/backends/jack_convert.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <future>
#include <random>
#include <vector>

#include "audio/backends/jack_client.hpp"
#include "tests/support/poll.hpp"
#include "vban/vban.hpp"

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr float guard = 12345.5f;

// Plays `stream` with the storage ending `split` bytes in; returns [channel][frame]. Exactly
// one cycle must be consumed and nothing written past `frames`.
std::vector<std::vector<float>> play(std::uint32_t format, const bytes& stream, std::size_t split,
                                     std::uint32_t channels, std::uint32_t frames) {
    std::vector<std::vector<float>> out(channels, std::vector<float>(frames + 1, guard));
    std::vector<float*> ports;
    for (auto& port : out) {
        ports.push_back(port.data());
    }
    const bytes first(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(split));
    const bytes second(stream.begin() + static_cast<std::ptrdiff_t>(split), stream.end());
    EXPECT_EQ(jack_convert_cycle(format, first, second, frames, channels, ports.data()),
              std::size_t{frames} * channels * bit_fmt_size[format]);
    for (auto& port : out) {
        EXPECT_EQ(port.back(), guard);
        port.pop_back();
    }
    return out;
}

// The signed integer over 2^(bits-1), in double (exact), rounded once to single precision.
float reference(std::uint32_t format, const std::uint8_t* p) {
    if (format == BIT_FMT_32F) {
        return std::bit_cast<float>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                    std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
    }
    if (format == BIT_FMT_64F) {
        double v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<float>(v);
    }
    const std::size_t size = bit_fmt_size[format];
    std::int64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value |= std::int64_t{p[i]} << (8 * i);
    }
    const std::int64_t half = std::int64_t{1} << (8 * size - 1);
    return static_cast<float>(static_cast<double>(value >= half ? value - 2 * half : value) /
                              static_cast<double>(half));
}

TEST(JackConvert, FullScaleAndSmallestStepOfEveryFormat) {
    const double third = 1.0 / 3.0;
    bytes third_bytes(8);
    std::memcpy(third_bytes.data(), &third, 8);
    struct row {
        std::uint32_t format;
        bytes stream;
        std::vector<float> played;
    };
    const row rows[] = {
        {BIT_FMT_8I, {0x7F, 0x80, 0x01, 0xFF}, {0.9921875f, -1.0f, 0.0078125f, -0.0078125f}},
        {BIT_FMT_16I,
         {0xFF, 0x7F, 0x00, 0x80, 0x01, 0x00},
         {0.999969482421875f, -1.0f, 3.0517578125e-05f}},
        {BIT_FMT_24I,  // byte 2 is the highest and carries the sign
         {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF},
         {0.99999988079071044921875f, -1.0f, -1.1920928955078125e-07f}},
        {BIT_FMT_32I,  // the largest value rounds to 1.0
         {0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00},
         {1.0f, -1.0f, 4.656612873077392578125e-10f}},
        {BIT_FMT_32F, {0x00, 0x00, 0xC0, 0xBF}, {-1.5f}},
        {BIT_FMT_64F, third_bytes, {1.0f / 3.0f}},  // played, not silence
    };
    for (const row& r : rows) {
        const auto frames = static_cast<std::uint32_t>(r.played.size());
        EXPECT_EQ(play(r.format, r.stream, r.stream.size(), 1, frames)[0], r.played)
            << bit_fmt_name(r.format);
    }
    // 12I and 10I have no whole-byte samples: silence, nothing consumed.
    EXPECT_EQ(play(BIT_FMT_12I, {0x7F}, 1, 1, 3)[0], std::vector<float>(3, 0.0f));
}

// Two channels of 24I, two frames, and the storage ends 5 bytes in: frame 0 channel 1 is
// assembled from the last 2 bytes of the storage and the first byte after the wrap.
TEST(JackConvert, SampleStraddlingTheWrapIsAssembled) {
    const bytes stream = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x01,
                          0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x11, 0x22};  // 2 bytes of the next cycle
    const std::vector<std::vector<float>> expected = {
        {0.99999988079071044921875f, 1.1920928955078125e-07f}, {-1.0f, -1.1920928955078125e-07f}};
    EXPECT_EQ(play(BIT_FMT_24I, stream, 5, 2, 2), expected);
    EXPECT_EQ(play(BIT_FMT_24I, stream, stream.size(), 2, 2), expected);
}

// Wherever the storage ends (on a sample boundary, inside a sample, in the first or the last
// frame, past the cycle), and whatever the channel count (mono, stereo, blocks of four and
// leftovers), every sample lands in its channel's buffer with its reference value.
TEST(JackConvert, EverySplitGivesTheReferenceValues) {
    std::mt19937 random(5);
    for (std::uint32_t format = BIT_FMT_8I; format <= BIT_FMT_64F; ++format) {
        const std::size_t size = bit_fmt_size[format];
        for (std::uint32_t channels : {1u, 2u, 3u, 6u, 64u}) {
            for (std::uint32_t frames : {1u, 7u, 33u}) {
                const std::size_t cycle = std::size_t{frames} * channels * size;
                bytes stream(cycle + 16);
                for (auto& b : stream) {
                    b = static_cast<std::uint8_t>(random());
                }
                // Every split within the first frame and around the end, a sample elsewhere.
                const std::size_t step = std::max<std::size_t>(1, cycle / 64);
                for (std::size_t split = 0; split <= stream.size(); ++split) {
                    if (split > (channels + 1) * size && split + size < cycle &&
                        split % step != 0) {
                        continue;
                    }
                    const auto out = play(format, stream, split, channels, frames);
                    for (std::size_t i = 0; i < std::size_t{frames} * channels; ++i) {
                        ASSERT_EQ(std::bit_cast<std::uint32_t>(out[i % channels][i / channels]),
                                  std::bit_cast<std::uint32_t>(
                                      reference(format, stream.data() + i * size)))
                            << bit_fmt_name(format) << ", " << channels << " channels, " << frames
                            << " frames, split at " << split << ", sample " << i;
                    }
                }
            }
        }
    }
}

// A close that never returns (libjack can leave one of its own locks held) is given up after
// its limit, and no client is opened, without a word to the server, until it has returned.
TEST(JackClient, AStuckCloseIsLeftAndHoldsOffTheNextOpenUntilItReturns) {
    using namespace std::chrono_literals;
    EXPECT_EQ(jack_close_within([] { return 7; }, 5s), 7);
    EXPECT_FALSE(jack_close_pending());
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    EXPECT_EQ(jack_close_within(
                  [released] {
                      released.wait();
                      return 0;
                  },
                  50ms),
              -ETIMEDOUT);
    EXPECT_TRUE(jack_close_pending());
    testing::internal::CaptureStderr();
    EXPECT_EQ(jack_client_open_named("", "late"), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Error: jack_open: could not open jack client late: the JACK library has not "
                  "finished closing the last one"),
              std::string::npos);
    release.set_value();
    EXPECT_TRUE(test_support::poll_until([] { return !jack_close_pending(); }, 5s));
}

}  // namespace
