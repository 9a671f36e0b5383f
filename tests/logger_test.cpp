// SPDX-License-Identifier: MIT
#include "common/logger.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/log_limit.hpp"

namespace {

struct captured {
    std::string out;
    std::string err;
};

// Logs one message of every level 0 to 5 at the given process level.
captured log_all_levels(std::int32_t process_level) {
    logger_set_level(process_level);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (std::int32_t level = LOG_FATAL; level <= LOG_DEBUG + 1; ++level) {
        logger_log(level, "%s: message %d", "logger_test", level);
    }
    captured c;
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    logger_set_level(LOG_ERROR);
    return c;
}

TEST(Logger, DefaultLevelWritesFatalAndErrorToStandardError) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    logger_log(LOG_FATAL, "fatal %d", 0);
    logger_log(LOG_ERROR, "error %s", "one");
    logger_log(LOG_WARNING, "warning");
    logger_log(LOG_INFO, "info");
    logger_log(LOG_DEBUG, "debug");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Fatal: fatal 0\nError: error one\n");
}

TEST(Logger, LevelsChooseStreamsAndPrefixes) {
    captured debug = log_all_levels(LOG_DEBUG);
    EXPECT_EQ(debug.err,
              "Fatal: logger_test: message 0\n"
              "Error: logger_test: message 1\n"
              "Warning: logger_test: message 2\n");
    EXPECT_EQ(debug.out,
              "Info: logger_test: message 3\n"
              "Debug: logger_test: message 4\n");

    // A negative level admits every real level; level 5 and above is never written.
    captured all = log_all_levels(-1);
    EXPECT_EQ(all.err, debug.err);
    EXPECT_EQ(all.out, debug.out);

    captured warning = log_all_levels(LOG_WARNING);
    EXPECT_EQ(warning.err, debug.err);
    EXPECT_EQ(warning.out, "");

    captured fatal_only = log_all_levels(LOG_FATAL);
    EXPECT_EQ(fatal_only.err, "Fatal: logger_test: message 0\n");

    captured high = log_all_levels(100);
    EXPECT_EQ(high.out, debug.out);
    logger_set_level(100);
    testing::internal::CaptureStdout();
    logger_log(5, "never");
    logger_log(-1, "never");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    logger_set_level(LOG_ERROR);
}

TEST(Logger, EnabledFollowsTheLevel) {
    EXPECT_TRUE(logger_enabled(LOG_ERROR));
    EXPECT_FALSE(logger_enabled(LOG_WARNING));
    logger_set_level(-1);
    EXPECT_TRUE(logger_enabled(LOG_DEBUG));
    EXPECT_FALSE(logger_enabled(5));
    logger_set_level(LOG_ERROR);
}

// One line a second of a kind, the count of the ones held back on the next line, and the
// count alone once no line of the kind has come to carry it for a second more, or at the end.
TEST(LogLimit, OneLineASecondThenTheCountOfTheOthers) {
    using namespace std::chrono_literals;
    const log_limit::clock::time_point start{};
    log_limit limit;
    std::uint64_t held = 99;
    EXPECT_TRUE(limit.admit(start, &held) && held == 0);
    for (int k = 0; k < 5; ++k) {
        EXPECT_FALSE(limit.admit(start + 999ms, &held));
    }
    EXPECT_FALSE(limit.take_held(start + 1999ms, false, &held));
    EXPECT_TRUE(limit.admit(start + 1s, &held) && held == 5);
    EXPECT_FALSE(limit.admit(start + 1500ms, &held));
    EXPECT_TRUE(limit.take_held(start + 3s, false, &held) && held == 1);
    EXPECT_FALSE(limit.admit(start + 3500ms, &held));
    EXPECT_TRUE(limit.take_held(start + 3500ms, true, &held) && held == 1);

    logger_set_level(LOG_WARNING);
    testing::internal::CaptureStderr();
    logger_log_held(LOG_WARNING, 0, "ignoring %s", "this");
    logger_log_held(LOG_WARNING, 12, "ignoring %s", "that");
    logger_log_held(LOG_INFO, 3, "hidden");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: ignoring this\nWarning: ignoring that (12 more like it not shown)\n");
    logger_set_level(LOG_ERROR);
}

}  // namespace
