// SPDX-License-Identifier: MIT
#include "audio/backends/descriptor_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/descriptor.hpp"
#include "common/logger.hpp"
#include "common/system_error.hpp"

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

std::string directory_of(const char* path) {
    std::string text(path);
    const std::size_t slash = text.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : text.substr(0, slash);
}

// 0 when `path` may be opened, telling through `is_link` whether it is a link; -EACCES for a
// link that another user may have planted.
std::int32_t check_link(const char* path, bool* is_link, const char* name) {
    *is_link = false;
    struct stat link {};
    if (lstat(path, &link) != 0 || !S_ISLNK(link.st_mode)) {
        return 0;  // nothing there yet, or not a link: the open decides
    }
    *is_link = true;
    const std::string directory = directory_of(path);
    struct stat parent {};
    if (stat(directory.c_str(), &parent) != 0) {
        return 0;
    }
    const bool shared_sticky = (parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & S_IWOTH) != 0;
    if (!shared_sticky || link.st_uid == geteuid() || link.st_uid == parent.st_uid) {
        return 0;
    }
    logger_log(LOG_FATAL,
               "%s: refusing to follow the symbolic link %s: it belongs to uid %u, not to this "
               "user, in the shared directory %s",
               name, path, static_cast<unsigned>(link.st_uid), directory.c_str());
    return -EACCES;
}

}  // namespace

std::int32_t descriptor_write(int fd, const void* data, std::uint64_t size, const char* name) {
    if (std::int32_t refused = refuse_transfer(fd, data, name)) {
        return refused;
    }
    ssize_t written = ::write(fd, data, bounded(size));
    if (written < 0 && errno == EINTR) {
        return 0;  // a signal came before a byte moved: a short write, the caller decides
    }
    if (written < 0) {
        report_system_error(LOG_ERROR, name, nullptr, "write");
    }
    return static_cast<std::int32_t>(written);
}

std::int32_t descriptor_read(int fd, void* data, std::uint64_t size, const char* name) {
    if (std::int32_t refused = refuse_transfer(fd, data, name)) {
        return refused;
    }
    ssize_t got = ::read(fd, data, bounded(size));
    if (got < 0) {
        report_system_error(LOG_ERROR, name, nullptr, "read");
    }
    return static_cast<std::int32_t>(got);
}

std::int32_t descriptor_open(const char* path, int flags, int mode, int* fd, const char* name) {
    int opened = ::open(path, flags | O_CLOEXEC, mode);
    if (opened >= 0) {
        opened = descriptor_above_zero(opened);
    }
    if (opened < 0) {
        return report_system_error(LOG_ERROR, name, path, "open");
    }
    *fd = opened;
    return 0;
}

std::int32_t descriptor_open_named(const char* path, int flags, int mode, int* fd,
                                   const char* name) {
    bool is_link = false;
    if (std::int32_t refused = check_link(path, &is_link, name)) {
        return refused;
    }
    return descriptor_open(path, flags | (is_link ? 0 : O_NOFOLLOW), mode, fd, name);
}
