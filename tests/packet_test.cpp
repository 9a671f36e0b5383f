// SPDX-License-Identifier: MIT
#include "vban/packet.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

using packet_buffer = std::array<std::uint8_t, VBAN_PROTOCOL_MAX_SIZE>;

struct log_capture {
    std::string out;
    std::string err;
};

class Packet : public testing::Test {
protected:
    void TearDown() override { logger_set_level(LOG_ERROR); }

    // Runs `check` at the debug level and returns what was logged.
    template <typename F>
    log_capture logged(F check) {
        logger_set_level(LOG_DEBUG);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        check();
        log_capture c{testing::internal::GetCapturedStdout(),
                      testing::internal::GetCapturedStderr()};
        logger_set_level(LOG_ERROR);
        return c;
    }

    // A stamped audio packet of `frames` frames for the given stream, payload zeroed.
    std::size_t build(packet_buffer& buffer, stream_config config, std::size_t frames,
                      const char* name = "Stream1") {
        buffer.fill(0);
        EXPECT_EQ(packet_init_header(buffer.data(), &config, name), 0);
        std::size_t payload = frames * config.nb_channels * bit_fmt_size[config.bit_fmt & 7];
        EXPECT_EQ(packet_set_new_content(buffer.data(), payload), 0);
        return VBAN_HEADER_SIZE + payload;
    }
};

TEST_F(Packet, HeaderBytesForAStereo16BitStream) {
    packet_buffer buffer{};
    stream_config config{2, 48000, BIT_FMT_16I};
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "Stream1"), 0);
    ASSERT_EQ(packet_get_max_payload_size(buffer.data()), 1024);
    ASSERT_EQ(packet_set_new_content(buffer.data(), 1024), 0);
    const std::uint8_t expected[28] = {'V', 'B', 'A', 'N', 0x03, 0xFF, 0x01, 0x01, 'S', 't',
                                       'r', 'e', 'a', 'm', '1',  0,    0,    0,    0,   0,
                                       0,   0,   0,   0,   1,    0,    0,    0};
    EXPECT_EQ(std::memcmp(buffer.data(), expected, sizeof expected), 0);
    EXPECT_EQ(packet_check("Stream1", buffer.data(), 28 + 1024), 0);

    stream_config back{};
    ASSERT_EQ(packet_get_stream_config(buffer.data(), &back), 0);
    EXPECT_EQ(back, config);
}

// A name of 16 characters fills the field without a terminator, and matches whole.
TEST_F(Packet, NameFillsAtMost16BytesAndIsMatchedWhole) {
    packet_buffer buffer{};
    stream_config config{1, 44100, BIT_FMT_8I};
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "ABCDEFGHIJKLMNOPQRST"), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()) + 8, 16), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(buffer[24], 0);  // the counter follows at once
    ASSERT_EQ(packet_set_new_content(buffer.data(), 1), 0);
    EXPECT_EQ(packet_check("ABCDEFGHIJKLMNOP", buffer.data(), 29), 0);
    EXPECT_EQ(packet_check("ABCDEFGHIJKLMNO", buffer.data(), 29), -EINVAL);
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "ABCDEFGHIJKLMNO"), 0);
    EXPECT_EQ(buffer[23], 0);
    // Byte 5 belongs to packet_set_new_content and is left alone here.
    buffer[5] = 0x42;
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "x"), 0);
    EXPECT_EQ(buffer[5], 0x42);
    EXPECT_EQ(buffer[9], 0);  // the shorter name pads the rest with zeros
}

TEST_F(Packet, MaximumPayloads) {
    struct row {
        stream_config config;
        std::int32_t payload;
    };
    const row rows[] = {
        {{2, 44100, BIT_FMT_16I}, 1024},    // 256 frames
        {{1, 44100, BIT_FMT_8I}, 256},      // capped at 256 frames
        {{8, 44100, BIT_FMT_24I}, 1416},    // 59 frames
        {{2, 44100, BIT_FMT_64F}, 1424},    // 89 frames
        {{256, 44100, BIT_FMT_64F}, 0},     // one frame is larger than 1436 bytes
        {{179, 44100, BIT_FMT_64F}, 1432},  // exactly one frame
    };
    for (const row& r : rows) {
        packet_buffer buffer{};
        ASSERT_EQ(packet_init_header(buffer.data(), &r.config, "s"), 0);
        EXPECT_EQ(packet_get_max_payload_size(buffer.data()), r.payload)
            << r.config.nb_channels << " channels of " << bit_fmt_name(r.config.bit_fmt);
    }
}

TEST_F(Packet, FormatsWithoutSampleSizeAreRefusedWithoutDividing) {
    for (std::uint32_t format : {BIT_FMT_12I, BIT_FMT_10I}) {
        packet_buffer buffer{};
        stream_config config{2, 44100, format};
        ASSERT_EQ(packet_init_header(buffer.data(), &config, "s"), 0);
        log_capture log = logged([&] {
            EXPECT_EQ(packet_get_max_payload_size(buffer.data()), -EINVAL);
            EXPECT_EQ(packet_set_new_content(buffer.data(), 100), -EINVAL);
        });
        EXPECT_NE(log.err.find(std::string("format ") + bit_fmt_name(format)), std::string::npos);
        // The counter did not move.
        EXPECT_EQ(buffer[24], 0);
        // Such a packet never passes: whatever it carries, 0 bytes are expected.
        log = logged([&] { EXPECT_EQ(packet_check("s", buffer.data(), 28 + 8), -EINVAL); });
        EXPECT_NE(
            log.err.find("Warning: packet_pcm_check: invalid payload size, expected 0, got 8"),
            std::string::npos)
            << log.err;
    }
}

TEST_F(Packet, CounterCountsFromOneAndWraps) {
    packet_buffer buffer{};
    stream_config config{2, 44100, BIT_FMT_16I};
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "s"), 0);
    vban_header header;
    std::memcpy(&header, buffer.data(), 28);
    EXPECT_EQ(header.nu_frame, 0u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(packet_set_new_content(buffer.data(), 1024), 0);
    }
    std::memcpy(&header, buffer.data(), 28);
    EXPECT_EQ(header.nu_frame, 3u);

    header.nu_frame = 4294967295u;
    std::memcpy(buffer.data(), &header, 28);
    ASSERT_EQ(packet_set_new_content(buffer.data(), 1024), 0);
    std::memcpy(&header, buffer.data(), 28);
    EXPECT_EQ(header.nu_frame, 0u);

    // A restarted header starts again from 0.
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "s"), 0);
    std::memcpy(&header, buffer.data(), 28);
    EXPECT_EQ(header.nu_frame, 0u);
}

TEST_F(Packet, SamplesPerChannelDropTheRemainder) {
    packet_buffer buffer{};
    stream_config config{2, 44100, BIT_FMT_16I};
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "s"), 0);
    ASSERT_EQ(packet_set_new_content(buffer.data(), 1022), 0);
    EXPECT_EQ(buffer[5], 254);  // 255 frames
    log_capture log = logged([&] { EXPECT_EQ(packet_check("s", buffer.data(), 28 + 1022), -22); });
    EXPECT_EQ(log.err,
              "Warning: packet_pcm_check: invalid payload size, expected 1020, got 1022\n");
    ASSERT_EQ(packet_set_new_content(buffer.data(), 0), 0);
    EXPECT_EQ(buffer[5], 255);  // a payload of 0 bytes wraps to 255
}

TEST_F(Packet, ChecksRunInOrderWithTheirLevels) {
    packet_buffer good{};
    std::size_t size = build(good, {2, 44100, BIT_FMT_16I}, 4);

    struct row {
        const char* what;
        std::size_t offset;  // byte to change, or 0 for none
        std::uint8_t value;
        std::size_t size;
        const char* name;
        const char* err;  // exact standard error at the debug level
        bool debug_line;  // whether "different streamname" appears on standard output
    };
    const row rows[] = {
        {"bare header", 0, 0, 28, "Stream1", "Warning: packet_check: packet too small\n", false},
        {"empty", 0, 0, 0, "Stream1", "Warning: packet_check: packet too small\n", false},
        {"magic", 0 + 3, 'X', size, "Stream1", "Warning: packet_check: invalid vban magic fourc\n",
         false},
        {"other stream", 0, 0, size, "Stream2", "", true},
        {"reserved bit", 7, 0x09, size, "Stream1",
         "Warning: packet_check: reserved format bit invalid value\n", false},
        {"serial", 4, 0x20 | 16, size, "Stream1", "", false},
        {"text", 4, 0x40 | 16, size, "Stream1", "", false},
        {"service", 4, 0x60 | 16, size, "Stream1",
         "Error: packet_check: packet with unknown protocol\n", false},
        {"0x80", 4, 0x80 | 16, size, "Stream1", "", false},
        {"0xE0", 4, 0xE0 | 16, size, "Stream1", "", false},
        {"codec", 7, 0x11, size, "Stream1", "", false},
        {"rate 21", 4, 21, size, "Stream1", "Warning: packet_pcm_check: invalid sample rate\n",
         false},
        {"rate 31", 4, 31, size, "Stream1", "Warning: packet_pcm_check: invalid sample rate\n",
         false},
        {"one byte more", 0, 0, size + 1, "Stream1",
         "Warning: packet_pcm_check: invalid payload size, expected 16, got 17\n", false},
    };
    for (const row& r : rows) {
        packet_buffer buffer = good;
        if (r.offset != 0) {
            buffer[r.offset] = r.value;
        }
        log_capture log =
            logged([&] { EXPECT_EQ(packet_check(r.name, buffer.data(), r.size), -22) << r.what; });
        EXPECT_EQ(log.err, r.err) << r.what;
        EXPECT_EQ(log.out.find("different streamname") != std::string::npos, r.debug_line)
            << r.what;
    }

    // At the default level only the service sub-protocol is reported.
    packet_buffer service = good;
    service[4] = 0x60;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(packet_check("Stream2", good.data(), size), -22);
    EXPECT_EQ(packet_check("Stream1", good.data(), size + 3), -22);
    EXPECT_EQ(packet_check("Stream1", service.data(), size), -22);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: packet_check: packet with unknown protocol\n");

    log_capture log = logged([&] { EXPECT_EQ(packet_check("Stream1", good.data(), size), 0); });
    EXPECT_EQ(log.out,
              "Debug: packet_pcm_check: packet 1 of 'Stream1': 44100 Hz, 4 frames of 2 channels "
              "in 16I\n");
    EXPECT_EQ(log.err, "");
}

TEST_F(Packet, TextPacketsAreDroppedQuietlyUnlessTheirNameDiffers) {
    packet_buffer text{};
    const std::uint8_t header[28] = {'V', 'B', 'A', 'N', 0x40, 0, 0, 1, 'T', 'a', 'l', 'k'};
    std::memcpy(text.data(), header, 28);
    std::memcpy(text.data() + 28, "hello", 5);
    log_capture log = logged([&] { EXPECT_EQ(packet_check("Talk", text.data(), 33), -22); });
    EXPECT_EQ(log.out + log.err, "");
    log = logged([&] { EXPECT_EQ(packet_check("Other", text.data(), 33), -22); });
    EXPECT_EQ(log.out, "Debug: packet_check: different streamname\n");
    // An empty text message is a bare header: too small, whatever its sub-protocol.
    log = logged([&] { EXPECT_EQ(packet_check("Talk", text.data(), 28), -22); });
    EXPECT_EQ(log.err, "Warning: packet_check: packet too small\n");
}

TEST_F(Packet, SixteenCharacterNamesAreComparedInFull) {
    packet_buffer buffer{};
    std::size_t size = build(buffer, {1, 44100, BIT_FMT_16I}, 2);
    std::memcpy(buffer.data() + 8, "ABCDEFGHIJKLMNOP", 16);  // no terminator in the header
    EXPECT_EQ(packet_check("ABCDEFGHIJKLMNOP", buffer.data(), size), 0);
    EXPECT_EQ(packet_check("ABCDEFGHIJKLMNOPQ", buffer.data(), size), 0);  // 16 compared
    EXPECT_EQ(packet_check("ABCDEFGHIJKLMNO", buffer.data(), size), -22);
    log_capture log =
        logged([&] { EXPECT_EQ(packet_check("ABCDEFGHIJKLMNOP", buffer.data(), size), 0); });
    EXPECT_NE(log.out.find("packet 1 of 'ABCDEFGHIJKLMNOP':"), std::string::npos) << log.out;
}

TEST_F(Packet, ReservedBitFromAnUnknownFormatName) {
    packet_buffer buffer{};
    stream_config config{2, 44100, bit_fmt_from_name("16i")};
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "s"), 0);
    EXPECT_EQ(buffer[7], 0x08);
    log_capture log = logged([&] { EXPECT_EQ(packet_check("s", buffer.data(), 28 + 4), -22); });
    EXPECT_EQ(log.err, "Warning: packet_check: reserved format bit invalid value\n");
}

TEST_F(Packet, RateOutsideTheTableMakesEveryPacketFail) {
    packet_buffer buffer{};
    std::size_t size = build(buffer, {2, 44000, BIT_FMT_16I}, 256);
    EXPECT_EQ(buffer[4], 0x15);
    log_capture log = logged([&] { EXPECT_EQ(packet_check("Stream1", buffer.data(), size), -22); });
    EXPECT_EQ(log.err, "Warning: packet_pcm_check: invalid sample rate\n");
}

TEST_F(Packet, ChannelCountWrapsInOneByte) {
    packet_buffer buffer{};
    stream_config config{256, 48000, BIT_FMT_8I};
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "s"), 0);
    EXPECT_EQ(buffer[6], 255);
    config.nb_channels = 0;
    ASSERT_EQ(packet_init_header(buffer.data(), &config, "s"), 0);
    EXPECT_EQ(buffer[6], 255);
}

TEST_F(Packet, StreamConfigFromAHeader) {
    packet_buffer buffer{};
    buffer[4] = 0x10;
    buffer[6] = 1;
    buffer[7] = 1;
    stream_config config{9, 9, 9};
    ASSERT_EQ(packet_get_stream_config(buffer.data(), &config), 0);
    EXPECT_EQ(config, (stream_config{2, 44100, BIT_FMT_16I}));

    // Unchecked packets never read outside the rate table.
    buffer[4] = 0x1F;
    buffer[7] = 0xFD;
    ASSERT_EQ(packet_get_stream_config(buffer.data(), &config), 0);
    EXPECT_EQ(config, (stream_config{2, 0, 5}));

    testing::internal::CaptureStderr();
    config = {9, 9, 9};
    EXPECT_EQ(packet_get_stream_config(nullptr, &config), -22);
    EXPECT_EQ(config, (stream_config{0, 0, 0}));  // cleared before the argument check
    EXPECT_EQ(packet_get_stream_config(buffer.data(), nullptr), -22);
    EXPECT_EQ(packet_init_header(nullptr, &config, "s"), -22);
    EXPECT_EQ(packet_init_header(buffer.data(), nullptr, "s"), -22);
    EXPECT_EQ(packet_get_max_payload_size(nullptr), -22);
    EXPECT_EQ(packet_set_new_content(nullptr, 4), -22);
    EXPECT_EQ(packet_check(nullptr, buffer.data(), 100), -22);
    EXPECT_EQ(packet_check("s", nullptr, 100), -22);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Fatal: packet_get_stream_config: null argument\n"
              "Fatal: packet_get_stream_config: null argument\n"
              "Fatal: packet_init_header: null argument\n"
              "Fatal: packet_init_header: null argument\n"
              "Fatal: packet_get_max_payload_size: null argument\n"
              "Fatal: packet_set_new_content: null argument\n"
              "Fatal: packet_check: null pointer argument\n"
              "Fatal: packet_check: null pointer argument\n");
}

}  // namespace
