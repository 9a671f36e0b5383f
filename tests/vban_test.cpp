// SPDX-License-Identifier: MIT
#include "vban/vban.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

TEST(VbanTables, EveryRateIndexMapsToItsRateAndBack) {
    for (std::uint32_t index = 0; index < VBAN_SR_MAXNUMBER; ++index) {
        std::uint32_t rate = vban_sample_rate_from_index(index);
        EXPECT_EQ(vban_sample_rate_index(rate), index) << rate;
    }
    EXPECT_EQ(vban_sample_rate_index(44100), 16);
    EXPECT_EQ(vban_sample_rate_index(48000), 3);
    EXPECT_EQ(vban_sample_rate_index(8000), 7);
    EXPECT_EQ(vban_sample_rate_index(705600), 20);
    for (std::uint32_t rate : {0u, 1u, 44099u, 44101u, 47999u, 1000000u}) {
        EXPECT_EQ(vban_sample_rate_index(rate), VBAN_SR_MAXNUMBER) << rate;
    }
    EXPECT_EQ(vban_sample_rate_from_index(21), 0u);
    EXPECT_EQ(vban_sample_rate_from_index(31), 0u);
}

TEST(VbanTables, FormatNamesIndexesAndSizesAgree) {
    const char* names[] = {"8I", "16I", "24I", "32I", "32F", "64F", "12I", "10I"};
    const std::size_t sizes[] = {1, 2, 3, 4, 4, 8, 0, 0};
    for (std::uint32_t index = 0; index < BIT_FMT_COUNT; ++index) {
        EXPECT_EQ(bit_fmt_from_name(names[index]), index);
        EXPECT_STREQ(bit_fmt_name(index), names[index]);
        EXPECT_EQ(bit_fmt_size[index], sizes[index]);
    }
    for (const char* unknown : {"16i", "16", "", "8I ", " 8I", "64", "24I\n", "float"}) {
        EXPECT_EQ(bit_fmt_from_name(unknown), BIT_FMT_INVALID) << '"' << unknown << '"';
    }
    EXPECT_EQ(bit_fmt_from_name(nullptr), BIT_FMT_INVALID);
    EXPECT_STREQ(bit_fmt_name(8), "Invalid");
    EXPECT_STREQ(bit_fmt_name(0xFFFFFFFFu), "Invalid");
    EXPECT_STREQ(bit_fmt_help(), "Recognized bit format are 8I, 16I, 24I, 32I, 32F, 64F, 12I, 10I");
}

TEST(VbanHeader, LayoutMatchesTheWire) {
    EXPECT_EQ(offsetof(vban_header, sr), 4u);
    EXPECT_EQ(offsetof(vban_header, nbs), 5u);
    EXPECT_EQ(offsetof(vban_header, nbc), 6u);
    EXPECT_EQ(offsetof(vban_header, bit), 7u);
    EXPECT_EQ(offsetof(vban_header, streamname), 8u);
    EXPECT_EQ(offsetof(vban_header, nu_frame), 24u);
    std::uint32_t fourc = 0;
    std::memcpy(&fourc, "VBAN", 4);
    EXPECT_EQ(fourc, VBAN_HEADER_FOURC);
    EXPECT_EQ(VBAN_HEADER_FOURC, 1312899670u);
    EXPECT_EQ(VBAN_PROTOCOL_MAX_SIZE, 1464u);
}

}  // namespace
