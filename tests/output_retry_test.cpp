// SPDX-License-Identifier: MIT
// When dorvane asks its output again for a configuration the output refused, and when it tells
// its statistics and what a change of the stream did.

#include <gtest/gtest.h>

#include "common/logger.hpp"
#include "programs/dorvane/output_retry.hpp"
#include "programs/dorvane/receiver_report.hpp"
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
    EXPECT_FALSE(retry.accepted(stereo));  // another one plays: the refusal stands
    EXPECT_EQ(retry.next(wide, start + 1999ms), output_attempt::skip);
    EXPECT_TRUE(retry.accepted(wide));  // the device came back
    EXPECT_EQ(retry.next(wide, start + 2s), output_attempt::ask);
    EXPECT_FALSE(retry.accepted(wide));
}

// The statistics keep their rhythm at any interval (a quarter of a second here) however late
// the receiver wakes; the changes of a stream are told once a second at most, and the last
// one, kept meanwhile, once the second is over, with the count of the others.
TEST(ReceiverReport, StatisticsAtTheirIntervalAndChangesOnceASecond) {
    const receiver_report::clock::time_point start{};
    receiver_report report(start, 250ms, "Stream1", "127.0.0.1");
    EXPECT_FALSE(report.stats_due(start + 249ms));
    EXPECT_TRUE(report.stats_due(start + 260ms));
    EXPECT_FALSE(report.stats_due(start + 499ms));
    EXPECT_TRUE(report.stats_due(start + 500ms));   // due at 500 ms, not 510
    EXPECT_TRUE(report.stats_due(start + 1300ms));  // a late wake starts the rhythm again
    EXPECT_FALSE(report.stats_due(start + 1549ms));
    EXPECT_TRUE(report.stats_due(start + 1550ms));

    logger_set_level(LOG_WARNING);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(report.change_may_tell(start));
    report.changed({2, 48000, BIT_FMT_16I}, stream_change::taken, start);
    EXPECT_FALSE(report.change_may_tell(start + 100ms));
    report.changed({1, 48000, BIT_FMT_16I}, stream_change::taken, start + 100ms);
    report.changed({64, 48000, BIT_FMT_32F}, stream_change::refused, start + 200ms);
    report.tell_kept(start + 999ms);
    const std::string first = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    report.tell_kept(start + 1s);
    report.tell_kept(start + 5s);  // nothing kept any more
    EXPECT_EQ(first, "Warning: receiving 'Stream1' from 127.0.0.1: 2 ch, 48000 Hz, 16I\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: main: the output cannot play 64 channels at 48000 Hz in 32F: dropping "
              "these packets, asking again once a second (1 more like it not shown)\n");
    logger_set_level(LOG_ERROR);
}

}  // namespace
