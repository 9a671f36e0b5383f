// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "VBAN headers and samples are little-endian and are used in place");

// The 28-byte header at the start of every VBAN datagram.
struct vban_header {
    std::uint32_t vban;      // "VBAN"
    std::uint8_t sr;         // bits 5-7 sub-protocol; bits 0-4 rate index (audio)
    std::uint8_t nbs;        // samples per channel - 1 (audio)
    std::uint8_t nbc;        // channels - 1 (audio)
    std::uint8_t bit;        // bits 0-2 data format, bit 3 reserved, bits 4-7 codec (audio)
    char streamname[16];     // NUL-padded; 16 characters leave no terminator
    std::uint32_t nu_frame;  // packet counter
};
static_assert(sizeof(vban_header) == 28, "the VBAN header is 28 bytes without gaps");

constexpr std::uint32_t VBAN_HEADER_FOURC = 0x4E414256;  // "VBAN" read little-endian
constexpr std::size_t VBAN_HEADER_SIZE = sizeof(vban_header);
constexpr std::size_t VBAN_STREAM_NAME_SIZE = 16;
constexpr std::size_t VBAN_DATA_MAX_SIZE = 1436;
constexpr std::size_t VBAN_PROTOCOL_MAX_SIZE = VBAN_HEADER_SIZE + VBAN_DATA_MAX_SIZE;  // 1464
constexpr std::size_t VBAN_SAMPLES_MAX_NB = 256;
constexpr std::size_t VBAN_CHANNELS_MAX_NB = 256;

// Byte 4: sub-protocol in the top three bits, rate index (or text bit rate) in the low five.
constexpr std::uint8_t VBAN_PROTOCOL_MASK = 0xE0;
constexpr std::uint8_t VBAN_SR_MASK = 0x1F;
constexpr std::uint8_t VBAN_PROTOCOL_AUDIO = 0x00;
constexpr std::uint8_t VBAN_PROTOCOL_SERIAL = 0x20;
constexpr std::uint8_t VBAN_PROTOCOL_TXT = 0x40;
constexpr std::uint8_t VBAN_PROTOCOL_SERVICE = 0x60;

// Byte 7 of audio packets: format, reserved bit, codec.
constexpr std::uint8_t VBAN_BIT_FMT_MASK = 0x07;
constexpr std::uint8_t VBAN_RESERVED_MASK = 0x08;
constexpr std::uint8_t VBAN_CODEC_MASK = 0xF0;
constexpr std::uint8_t VBAN_CODEC_PCM = 0x00;

// Byte 7 of text packets, as the text sender offers them.
constexpr std::int32_t VBAN_TXT_ASCII = 0;
constexpr std::int32_t VBAN_TXT_UTF8 = 1;
constexpr std::int32_t VBAN_TXT_WCHAR = 2;
constexpr std::int32_t VBAN_TXT_USER = 240;

// Sample rates in Hz by rate index, in the protocol's (unsorted) order.
constexpr std::size_t VBAN_SR_MAXNUMBER = 21;
constexpr std::array<std::uint32_t, VBAN_SR_MAXNUMBER> vban_sample_rates = {
    6000,   12000,  24000,  48000, 96000, 192000, 384000, 8000,   16000,  32000, 64000,
    128000, 256000, 512000, 11025, 22050, 44100,  88200,  176400, 352800, 705600};

// Data formats: bit_fmt index 0 to 7; 8 stands for a name that is not recognised.
constexpr std::uint32_t BIT_FMT_8I = 0;
constexpr std::uint32_t BIT_FMT_16I = 1;
constexpr std::uint32_t BIT_FMT_24I = 2;
constexpr std::uint32_t BIT_FMT_32I = 3;
constexpr std::uint32_t BIT_FMT_32F = 4;
constexpr std::uint32_t BIT_FMT_64F = 5;
constexpr std::uint32_t BIT_FMT_12I = 6;
constexpr std::uint32_t BIT_FMT_10I = 7;
constexpr std::uint32_t BIT_FMT_INVALID = 8;
constexpr std::size_t BIT_FMT_COUNT = 8;

// Sample size in bytes by bit_fmt; 12I and 10I have no whole-byte size and carry no audio.
constexpr std::array<std::size_t, BIT_FMT_COUNT> bit_fmt_size = {1, 2, 3, 4, 4, 8, 0, 0};

// The one place that answers "how many bytes is a sample of this format": 0 for 12I, 10I and
// any index that names no format, so that callers test for 0 instead of reading past the table.
[[nodiscard]] constexpr std::size_t bit_fmt_sample_size(std::uint32_t bit_fmt) {
    return bit_fmt < bit_fmt_size.size() ? bit_fmt_size[bit_fmt] : 0;
}

// Bytes of one frame (every channel's sample) of `nb_channels` channels in `bit_fmt`; 0 when
// the format has no whole-byte sample.
[[nodiscard]] constexpr std::size_t bit_fmt_frame_size(std::uint32_t bit_fmt,
                                                       std::uint64_t nb_channels) {
    return static_cast<std::size_t>(nb_channels) * bit_fmt_sample_size(bit_fmt);
}

// Writes `name` into a header's stream-name field: at most 16 bytes, the rest zero. A name of 16
// characters fills the field and has no terminator there, as the protocol allows.
void vban_set_stream_name(char (&field)[VBAN_STREAM_NAME_SIZE], const char* name);

// Index of the format called `name` (case-sensitive, whole text); 8 when there is none.
[[nodiscard]] std::uint32_t bit_fmt_from_name(const char* name);

// Name of a format index, "Invalid" above 7.
[[nodiscard]] const char* bit_fmt_name(std::uint32_t index);

// The sentence that lists the format names, for usage texts.
[[nodiscard]] const char* bit_fmt_help();

// Rate index of a rate in Hz, VBAN_SR_MAXNUMBER (21) when the rate is not in the table.
[[nodiscard]] std::uint8_t vban_sample_rate_index(std::uint32_t sample_rate);

// Rate in Hz of a rate index, 0 for an index that names no rate.
[[nodiscard]] std::uint32_t vban_sample_rate_from_index(std::uint32_t index);
