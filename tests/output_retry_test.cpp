// SPDX-License-Identifier: MIT
// When dorvane asks its output again for a configuration the output refused.

#include <gtest/gtest.h>

#include "programs/dorvane/output_retry.hpp"
#include "vban/vban.hpp"

namespace {

using namespace std::chrono_literals;

TEST(OutputRetry, AsksAgainAtOnceForAnotherConfigurationAndOnceASecondForTheSame) {
    const output_retry::clock::time_point start{};
    const stream_config wide{64, 48000, BIT_FMT_16I};
    const stream_config stereo{2, 48000, BIT_FMT_16I};
    output_retry retry;
    EXPECT_EQ(retry.next(wide, start), output_attempt::ask);
    retry.refused(wide, start);
    EXPECT_EQ(retry.next(wide, start + 999ms), output_attempt::skip);
    EXPECT_EQ(retry.next(stereo, start + 10ms), output_attempt::ask);
    EXPECT_EQ(retry.next(wide, start + 1s), output_attempt::ask_again);
    retry.refused(wide, start + 1s);
    EXPECT_EQ(retry.next(wide, start + 1500ms), output_attempt::skip);
    EXPECT_EQ(retry.next(wide, start + 2s), output_attempt::ask_again);
    retry.accepted();  // the device came back
    EXPECT_EQ(retry.next(wide, start + 2s), output_attempt::ask);
}

}  // namespace
