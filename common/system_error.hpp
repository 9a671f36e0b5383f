// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Reports the system call that just failed, in the one shape this system uses for it: the
// logger's line "<name>: <what>" at `level`, then the system's own error line
// "<call>: <text of errno>" on standard error, as perror prints it. errno is left as the
// failed call set it, and its negation is returned, ready to be handed on as a result.
std::int32_t report_system_error(std::int32_t level, const char* name, const char* what,
                                 const char* call);
