#include "audio/backends/descriptor_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/descriptor.hpp"
#include "common/logger.hpp"

namespace {

// A result must fit the signed 32-bit count; Linux itself never moves more in one call.
constexpr std::uint64_t largest_transfer = 0x7ffff000;

std::uint64_t bounded(std::uint64_t size) {
    return size < largest_transfer ? size : largest_transfer;
}

// A transfer needs a buffer and a descriptor; the reason it cannot run, or 0.
std::int32_t refuse_transfer(int fd, const void* data, const char* name) {
    if (data == nullptr) {
        logger_log(LOG_ERROR, "%s: handle or data pointer is null", name);
        return -EINVAL;
    }
    if (fd == 0) {
        logger_log(LOG_ERROR, "%s: device not open", name);
        return -ENODEV;
    }
    return 0;
}

}  // namespace

std::int32_t descriptor_write(int fd, const void* data, std::uint64_t size, const char* name) {
    if (std::int32_t refused = refuse_transfer(fd, data, name)) {
        return refused;
    }
    ssize_t written = ::write(fd, data, bounded(size));
    if (written < 0) {
        logger_log(LOG_ERROR, "%s:", name);
        std::perror("write");
    }
    return static_cast<std::int32_t>(written);
}

std::int32_t descriptor_read(int fd, void* data, std::uint64_t size, const char* name) {
    if (std::int32_t refused = refuse_transfer(fd, data, name)) {
        return refused;
    }
    ssize_t got = ::read(fd, data, bounded(size));
    if (got < 0) {
        logger_log(LOG_ERROR, "%s:", name);
        std::perror("read");
    }
    return static_cast<std::int32_t>(got);
}

std::int32_t descriptor_open(const char* path, int flags, int mode, int* fd, const char* name) {
    int opened = ::open(path, flags | O_CLOEXEC, mode);
    if (opened >= 0) {
        opened = descriptor_above_zero(opened);
    }
    if (opened < 0) {
        int error = errno;
        logger_log(LOG_FATAL, "%s: open error", name);
        errno = error;
        std::perror("open");
        return -error;
    }
    *fd = opened;
    return 0;
}
