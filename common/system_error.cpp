// SPDX-License-Identifier: MIT
#include "common/system_error.hpp"

#include <cerrno>
#include <cstring>

#include "common/logger.hpp"

std::int32_t report_system_error(std::int32_t level, const char* name, const char* what,
                                 const char* call) {
    const int error = errno;
    char text[128];
    // The GNU strerror_r: the text may be a constant of the library rather than `text`.
    const char* reason = strerror_r(error, text, sizeof text);
    logger_log(level, "%s: %s: %s", name, what != nullptr && what[0] != '\0' ? what : call, reason);
    errno = error;
    return -error;
}

std::int32_t report_file_error(std::int32_t level, const char* name, const char* path) {
    const int error = errno;
    logger_log(level, "%s: %s: %s", name, path, std::strerror(error));
    errno = error;
    return -error;
}
