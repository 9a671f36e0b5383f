// SPDX-License-Identifier: MIT
#include "audio/backends/pipe_backend.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "audio/backends/backend_create.hpp"
#include "audio/backends/descriptor_io.hpp"
#include "common/logger.hpp"
#include "common/system_error.hpp"

namespace {

// What stands at a path, in words for a refusal.
std::string describe(const struct stat& found) {
    std::string kind;
    if (S_ISREG(found.st_mode)) {
        kind = "a regular file";
    } else if (S_ISLNK(found.st_mode)) {
        kind = "a symbolic link";
    } else if (S_ISDIR(found.st_mode)) {
        kind = "a directory";
    } else if (S_ISFIFO(found.st_mode)) {
        kind = "a FIFO";
    } else if (S_ISSOCK(found.st_mode)) {
        kind = "a socket";
    } else {
        kind = "a device";
    }
    if (found.st_uid != geteuid()) {
        kind += " of uid " + std::to_string(found.st_uid);
    }
    return kind;
}

bool is_own_fifo(const struct stat& found) {
    return S_ISFIFO(found.st_mode) && found.st_uid == geteuid();
}

std::int32_t refuse_path(const char* path, const struct stat& found) {
    logger_log(LOG_FATAL, "%s: %s is %s, not a FIFO of this user: refusing it", "pipe_open", path,
               describe(found).c_str());
    return -EEXIST;
}

class pipe_backend final : public audio_backend {
public:
    ~pipe_backend() override { release(); }

    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t,
                      const stream_config*) override {
        const std::string path =
            device != nullptr && device[0] != '\0' ? device : PIPE_BACKEND_FIFO_PATH;
        // A new stream configuration changes nothing on a FIFO: the program at the other end
        // keeps reading (or writing) the same descriptor.
        if (fd_ != 0 && path == path_ && direction == direction_) {
            return 0;
        }
        release();
        if (std::int32_t result = make_fifo(path.c_str())) {
            return result;
        }
        path_ = path;
        direction_ = direction;
        const int flags = (direction == AUDIO_DIRECTION_IN ? O_RDONLY : O_WRONLY) | O_NOFOLLOW;
        if (std::int32_t result =
                descriptor_open_named(path.c_str(), flags, 0, &fd_, "pipe_open")) {
            return result;
        }
        // Whatever happened at the path between its making and the open, no byte moves unless
        // what was opened is this user's FIFO.
        struct stat opened {};
        if (fstat(fd_, &opened) != 0 || !is_own_fifo(opened)) {
            ::close(fd_);
            fd_ = 0;
            return refuse_path(path.c_str(), opened);
        }
        return 0;
    }

    // Keeps the FIFO: the audio object closes before every open, and a stream change must not
    // end the other program's input. The FIFO goes with the backend.
    std::int32_t close() override { return 0; }

    std::int32_t write(const void* data, std::uint64_t size) override {
        return descriptor_write(fd_, data, size, "pipe_write", path_.c_str());
    }

    std::int32_t read(void* data, std::uint64_t size) override {
        return descriptor_read(fd_, data, size, "pipe_read");
    }

    std::int32_t wait_input(int other_fd, int timeout_ms) override {
        return descriptor_wait(fd_, other_fd, timeout_ms);
    }

private:
    int fd_ = 0;        // 0: nothing held
    std::string path_;  // the FIFO this backend made; empty when none
    std::int32_t direction_ = AUDIO_DIRECTION_OUT;

    // Makes a FIFO at `path` that only this user can open, whatever the file-creation mask. A
    // FIFO of this user left there by an earlier run (ended by a signal) is replaced, so that
    // no program that opened the old one still holds it; anything else is refused.
    std::int32_t make_fifo(const char* path) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const mode_t mask = umask(077);
            const int made = mkfifo(path, 0600);
            umask(mask);
            if (made == 0) {
                return 0;
            }
            struct stat found {};
            if (errno != EEXIST || lstat(path, &found) != 0) {
                break;
            }
            if (!is_own_fifo(found)) {
                return refuse_path(path, found);
            }
            unlink(path);
        }
        report_system_error(LOG_FATAL, "pipe_open",
                            (std::string("cannot make the FIFO ") + path).c_str(), "mkfifo");
        return -1;
    }

    void release() {
        if (fd_ != 0) {
            ::close(fd_);
            fd_ = 0;
        }
        if (!path_.empty()) {
            unlink(path_.c_str());
            path_.clear();
        }
    }
};

}  // namespace

std::int32_t pipe_backend_init(audio_backend** out) {
    return backend_create<pipe_backend>(out, "pipe_backend_init");
}
