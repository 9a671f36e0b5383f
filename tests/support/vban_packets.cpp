// SPDX-License-Identifier: MIT
#include "tests/support/vban_packets.hpp"

#include <cmath>
#include <stdexcept>

namespace test_support {

namespace {

const std::uint32_t rates[] = {6000,  12000, 24000, 48000, 96000,  192000, 384000,
                               8000,  16000, 32000, 64000, 128000, 256000, 512000,
                               11025, 22050, 44100, 88200, 176400, 352800, 705600};
const std::size_t sample_sizes[] = {1, 2, 3, 4, 4, 8, 0, 0};

std::uint8_t rate_index(std::uint32_t rate) {
    for (std::uint8_t i = 0; i < 21; ++i) {
        if (rates[i] == rate) {
            return i;
        }
    }
    return 21;
}

void append_le32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::string header(std::uint8_t sr, std::uint8_t nbs, std::uint8_t nbc, std::uint8_t bit,
                   const std::string& name, std::uint32_t counter) {
    std::string h = "VBAN";
    h += static_cast<char>(sr);
    h += static_cast<char>(nbs);
    h += static_cast<char>(nbc);
    h += static_cast<char>(bit);
    std::string padded = name.substr(0, 16);
    padded.resize(16, '\0');
    h += padded;
    append_le32(h, counter);
    return h;
}

}  // namespace

std::string audio_packet(const std::string& name, stream_config config, const std::string& payload,
                         std::uint32_t counter) {
    std::size_t frame = config.nb_channels * sample_sizes[config.bit_fmt & 7];
    if (frame == 0) {
        throw std::invalid_argument("no frame size");
    }
    std::size_t frames = payload.size() / frame;
    return header(rate_index(config.sample_rate), static_cast<std::uint8_t>(frames - 1),
                  static_cast<std::uint8_t>(config.nb_channels - 1),
                  static_cast<std::uint8_t>(config.bit_fmt), name, counter) +
           payload;
}

std::string text_packet(const std::string& name, const std::string& text) {
    return header(0x40, 0, 0, 1, name, 0) + text;
}

std::string pattern(std::size_t count, std::uint32_t seed) {
    std::string out(count, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : out) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return out;
}

std::string sine_16(std::size_t frames, unsigned channels, unsigned rate) {
    std::string out;
    out.reserve(frames * channels * 2);
    for (std::size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < channels; ++c) {
            double t = static_cast<double>(f) / rate;
            auto v = static_cast<std::int16_t>(
                std::lround(16000.0 * std::sin(2.0 * M_PI * (440.0 * (c + 1)) * t)));
            auto u = static_cast<std::uint16_t>(v);
            out += static_cast<char>(u & 0xFF);
            out += static_cast<char>(u >> 8);
        }
    }
    return out;
}

std::string ping0_request(std::uint32_t counter) {
    return header(0x60, 0x00, 0x00, 0x00, "VBAN Service", counter);
}

std::uint32_t ping0_number(const std::string& reply, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(reply.at(28 + offset + i));
    }
    return value;
}

std::string ping0_text(const std::string& reply, std::size_t offset, std::size_t size) {
    const std::string field = reply.substr(28 + offset, size);
    return field.substr(0, field.find('\0'));
}

}  // namespace test_support
