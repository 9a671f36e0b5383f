// SPDX-License-Identifier: MIT
#include "audio/backends/descriptor_io.hpp"

#include "audio/audio_backend.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
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

// A directory that every user (or a group) may write to but only owners may remove from, such
// as /tmp: there another user can make a name before us.
bool shared_sticky(const struct stat& directory) {
    return (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & (S_IWOTH | S_IWGRP)) != 0;
}

// True when what stands at `found`, in a shared sticky directory, belongs to another user than
// this one and the directory's owner: the kernel's protected_symlinks, protected_regular and
// protected_fifos (level 2) refuse such links, files and FIFOs, as this does whether or not
// the system turned them on.
bool planted(const struct stat& found, const std::string& directory) {
    struct stat parent {};
    return stat(directory.c_str(), &parent) == 0 && shared_sticky(parent) &&
           found.st_uid != geteuid() && found.st_uid != parent.st_uid;
}

std::int32_t refuse_planted(const char* path, const struct stat& found,
                            const std::string& directory, const char* name) {
    logger_log(
        LOG_FATAL,
        "%s: refusing %s %s: it belongs to uid %u, not to this user, in the shared directory %s",
        name, S_ISLNK(found.st_mode) ? "to follow the symbolic link" : "to write into", path,
        static_cast<unsigned>(found.st_uid), directory.c_str());
    return -EACCES;
}

// 0 when what stands at `path` (`found`) may be opened with `flags`; -EACCES for a link, or
// for a file or FIFO to write into, that another user may have planted in a shared directory.
std::int32_t check_owner(const char* path, const struct stat& found, int flags, const char* name) {
    const bool writes = (flags & O_ACCMODE) != O_RDONLY;
    if (!S_ISLNK(found.st_mode) &&
        !(writes && (S_ISREG(found.st_mode) || S_ISFIFO(found.st_mode)))) {
        return 0;
    }
    const std::string directory = directory_of(path);
    return planted(found, directory) ? refuse_planted(path, found, directory, name) : 0;
}

}  // namespace

std::int32_t descriptor_write(int fd, const void* data, std::uint64_t size, const char* name,
                              const char* path) {
    if (std::int32_t refused = refuse_transfer(fd, data, name)) {
        return refused;
    }
    ssize_t written = ::write(fd, data, bounded(size));
    if (written < 0 && errno == EINTR) {
        return 0;  // a signal came before a byte moved: a short write, the caller decides
    }
    if (written < 0) {
        report_file_error(LOG_ERROR, name, path);
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

std::int32_t descriptor_wait(int fd, int other_fd, int timeout_ms) {
    if (fd == 0) {
        return AUDIO_WAIT_INPUT;
    }
    std::array<pollfd, 2> fds = {{{fd, POLLIN, 0}, {other_fd, POLLIN, 0}}};
    if (::poll(fds.data(), other_fd >= 0 ? 2 : 1, timeout_ms) < 0) {
        return AUDIO_WAIT_INPUT;
    }
    return (fds[0].revents != 0 ? AUDIO_WAIT_INPUT : 0) |
           ((fds[1].revents & POLLIN) != 0 ? AUDIO_WAIT_OTHER : 0);
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

std::int32_t descriptor_open_named(const char* path, int flags, int mode, int* fd, const char* name,
                                   bool* created) {
    struct stat found {};
    const bool exists = lstat(path, &found) == 0;
    if (std::int32_t refused = exists ? check_owner(path, found, flags, name) : 0) {
        return refused;
    }
    const bool is_link = exists && S_ISLNK(found.st_mode);
    // A name that is free now is made by this open or not at all, so that what it opens is
    // known to be this program's own.
    const bool make = !exists && (flags & O_CREAT) != 0;
    const bool reads = (flags & O_ACCMODE) == O_RDONLY && (flags & O_NONBLOCK) == 0;
    std::int32_t result = descriptor_open(
        path, flags | (is_link ? 0 : O_NOFOLLOW) | (make ? O_EXCL : 0) | (reads ? O_NONBLOCK : 0),
        mode, fd, name);
    if (result == 0 && reads) {
        fcntl(*fd, F_SETFL, fcntl(*fd, F_GETFL) & ~O_NONBLOCK);  // the reads wait
    }
    // What was opened at the same path is looked at again: a file that took the place of the
    // one checked is refused all the same.
    if (result == 0 && exists && !is_link && fstat(*fd, &found) == 0 &&
        (result = check_owner(path, found, flags, name)) != 0) {
        ::close(*fd);
        *fd = 0;
    }
    if (created != nullptr) {
        *created = result == 0 && make;
    }
    return result;
}
