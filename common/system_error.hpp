// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Reports the system call that just failed, in the one shape this system uses for it: one
// logger line "<name>: <what>: <text of errno>" at `level`, where `what` names what the call
// was about (a path, for an open) or, when null or empty, the call itself. errno is left as
// the failed call set it, and its negation is returned, ready to be handed on as a result.
std::int32_t report_system_error(std::int32_t level, const char* name, const char* what,
                                 const char* call);
