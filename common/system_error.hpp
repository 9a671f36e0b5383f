// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Reports the system call that just failed, in the one shape this system uses for it: one
// logger line "<name>: <what>: <text of errno>" at `level`, where `what` names what the call
// was about (a path, for an open) or, when null or empty, the call itself. errno is left as
// the failed call set it, and its negation is returned, ready to be handed on as a result.
std::int32_t report_system_error(std::int32_t level, const char* name, const char* what,
                                 const char* call);

// Reports a failed call on the file at `path` as one line of the logger,
// "<name>: <path>: <text of errno>", so that a service's journal shows what failed where and why
// together. errno is kept, and its negation returned.
std::int32_t report_file_error(std::int32_t level, const char* name, const char* path);
