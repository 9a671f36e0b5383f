// SPDX-License-Identifier: MIT
#include "common/system_error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/logger.hpp"

std::int32_t report_system_error(std::int32_t level, const char* name, const char* what,
                                 const char* call) {
    const int error = errno;
    // The logger's own writes may change errno before perror reads it.
    if (what != nullptr && what[0] != '\0') {
        logger_log(level, "%s: %s", name, what);
    } else {
        logger_log(level, "%s:", name);
    }
    errno = error;
    std::perror(call);
    errno = error;
    return -error;
}

std::int32_t report_file_error(std::int32_t level, const char* name, const char* path) {
    const int error = errno;
    logger_log(level, "%s: %s: %s", name, path, std::strerror(error));
    errno = error;
    return -error;
}
