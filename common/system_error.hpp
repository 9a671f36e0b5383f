// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Reports the system call that just failed, in the one shape this system uses for it: the
// logger's line "<name>: <what>" at `level`, then the system's own error line
// "<call>: <text of errno>" on standard error, as perror prints it. errno is left as the
// failed call set it, and its negation is returned, ready to be handed on as a result.
std::int32_t report_system_error(std::int32_t level, const char* name, const char* what,
                                 const char* call);

// Reports a failed call on the file at `path` as one line of the logger,
// "<name>: <path>: <text of errno>", so that a service's journal shows what failed where and why
// together. errno is kept, and its negation returned.
std::int32_t report_file_error(std::int32_t level, const char* name, const char* path);
