// SPDX-License-Identifier: MIT
#include "vban/vban.hpp"

#include <cstring>

namespace {

constexpr std::array<const char*, BIT_FMT_COUNT> bit_fmt_names = {"8I",  "16I", "24I", "32I",
                                                                  "32F", "64F", "12I", "10I"};

}  // namespace

void vban_set_stream_name(char (&field)[VBAN_STREAM_NAME_SIZE], const char* name) {
    const std::size_t length = strnlen(name, VBAN_STREAM_NAME_SIZE);
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name, length);
}

std::uint32_t bit_fmt_from_name(const char* name) {
    if (name == nullptr) {
        return BIT_FMT_INVALID;
    }
    for (std::uint32_t index = 0; index < BIT_FMT_COUNT; ++index) {
        if (std::strcmp(name, bit_fmt_names[index]) == 0) {
            return index;
        }
    }
    return BIT_FMT_INVALID;
}

const char* bit_fmt_name(std::uint32_t index) {
    return index < BIT_FMT_COUNT ? bit_fmt_names[index] : "Invalid";
}

const char* bit_fmt_help() {
    return "Recognized bit format are 8I, 16I, 24I, 32I, 32F, 64F, 12I, 10I";
}

std::uint8_t vban_sample_rate_index(std::uint32_t sample_rate) {
    for (std::size_t index = 0; index < vban_sample_rates.size(); ++index) {
        if (vban_sample_rates[index] == sample_rate) {
            return static_cast<std::uint8_t>(index);
        }
    }
    return VBAN_SR_MAXNUMBER;
}

std::uint32_t vban_sample_rate_from_index(std::uint32_t index) {
    return index < vban_sample_rates.size() ? vban_sample_rates[index] : 0;
}
