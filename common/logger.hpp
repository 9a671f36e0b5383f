// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Log levels. Messages of a level above the process-wide level are dropped.
constexpr std::int32_t LOG_FATAL = 0;
constexpr std::int32_t LOG_ERROR = 1;
constexpr std::int32_t LOG_WARNING = 2;
constexpr std::int32_t LOG_INFO = 3;
constexpr std::int32_t LOG_DEBUG = 4;

// Sets the process-wide level, unchecked; a negative level lets every message through.
// Called while the command line is read, before any second thread exists.
void logger_set_level(std::int32_t level);

// While muted, messages below LOG_DEBUG are dropped unless the level admits debug lines: a
// retry that would only repeat what was already reported keeps quiet, except for a reader who
// asked for everything. Called from the main thread only.
void logger_mute(bool muted);

// True when a message of this level would be written; costs one comparison.
[[nodiscard]] bool logger_enabled(std::int32_t level);

// Says, once and before anything is written to standard output, what standard output carries.
// With `carries_samples` (a receiver writing the stream there) every line of every level goes
// to standard error, so that none lands among the samples. Otherwise standard output carries
// the info and debug lines, and is made line-buffered, so that a journal or a pipe sees each
// line of text as it is printed.
void logger_set_standard_output(bool carries_samples);

// Writes one line: the level's prefix, the printf-formatted message, a newline, whole, in one
// system call, so that lines that two streams share in one file never split each other.
// Levels 0 to 2 go to standard error, 3 and 4 to standard output (but see
// logger_set_standard_output); a suppressed message is not formatted. Takes no lock of its
// own, so it may be called from the JACK process thread. errno is left as it was.
void logger_log(std::int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes one line with the prefix of `level` on standard error whatever the process-wide level:
// for what a user asked for explicitly (a signal asking for statistics), which must reach
// them however quiet the program was told to be, and must not mix with samples on standard
// output.
void logger_log_always(std::int32_t level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
