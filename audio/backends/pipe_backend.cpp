// SPDX-License-Identifier: MIT
#include "audio/backends/pipe_backend.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "audio/backends/backend_create.hpp"
#include "audio/backends/descriptor_io.hpp"
#include "common/descriptor.hpp"
#include "common/logger.hpp"
#include "common/stop_request.hpp"
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

// The one test of a FIFO found at `path`, before it is used and again once it is open: a FIFO
// of this user. That is stricter than the kernel's protected_fifos, which in a shared sticky
// directory also lets the directory's owner's FIFOs be written: another user's FIFO is refused
// anywhere, before an open that would wait for its reader.
bool fifo_allowed(const char* /*path*/, const struct stat& found) {
    return S_ISFIFO(found.st_mode) && found.st_uid == geteuid();
}

std::int32_t refuse_path(const char* path, const struct stat& found) {
    logger_log(LOG_FATAL, "%s: %s is %s, not a FIFO of this user: refusing it", "pipe_open", path,
               describe(found).c_str());
    return -EEXIST;
}

// How often a receiver looks again for the reader of its FIFO.
constexpr int reader_poll_ms = 50;

class pipe_backend final : public audio_backend {
public:
    ~pipe_backend() override { release(); }

    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t,
                      const stream_config*) override {
        const bool named = device != nullptr && device[0] != '\0';
        const std::string path = named ? device : PIPE_BACKEND_FIFO_PATH;
        // A new stream configuration changes nothing on a FIFO: the program at the other end
        // keeps reading (or writing) the same descriptor.
        if (fd_ != 0 && path == path_ && direction == direction_) {
            return 0;
        }
        release();
        if (std::int32_t result = prepare(path, named)) {
            return result;
        }
        path_ = path;
        direction_ = direction;
        // A read does not wait for a writer at the open (the reads and the wait for input do);
        // a write waits for a reader, and for a request to stop.
        const std::int32_t result =
            direction == AUDIO_DIRECTION_IN
                ? descriptor_open_named(path.c_str(), O_RDONLY | O_NOFOLLOW, 0, &fd_, "pipe_open")
                : open_for_writing(path.c_str());
        if (result != 0) {
            return result;
        }
        // Whatever happened at the path between its making and the open, no byte moves unless
        // what was opened is a FIFO that may be used.
        struct stat opened {};
        if (fstat(fd_, &opened) != 0 || !fifo_allowed(path.c_str(), opened)) {
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
    int fd_ = 0;         // 0: nothing held
    std::string path_;   // the FIFO in use; empty when none
    bool made_ = false;  // this backend made it, and removes it
    std::int32_t direction_ = AUDIO_DIRECTION_OUT;

    // Makes sure a FIFO stands at `path`. A FIFO the user named (`named`) that exists is used
    // as it is, with its permissions, and left there at the end, so that a reader that opened
    // it first keeps its stream. Otherwise this backend makes one that only this user can
    // open, whatever the file-creation mask, and removes it at the end; a FIFO of this user
    // left at the default path by a run that was killed is replaced, so that no program that
    // opened the old one still holds it. Anything else at the path is refused.
    std::int32_t prepare(const std::string& path, bool named) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const mode_t mask = umask(077);
            const int made = mkfifo(path.c_str(), 0600);
            umask(mask);
            if (made == 0) {
                made_ = true;
                return 0;
            }
            struct stat found {};
            if (errno != EEXIST || lstat(path.c_str(), &found) != 0) {
                break;
            }
            if (!fifo_allowed(path.c_str(), found)) {
                return refuse_path(path.c_str(), found);
            }
            if (named) {
                made_ = false;
                return 0;
            }
            unlink(path.c_str());
        }
        return report_system_error(LOG_ERROR, "pipe_open", ("cannot make the FIFO " + path).c_str(),
                                   "mkfifo");
    }

    // Opens the FIFO for writing once a reader has it open. Without a reader the system refuses
    // a non-blocking open at once, and the open is tried again every 50 ms: the wait ends as
    // soon as a reader comes, or when the program is asked to stop (a blocking open would hold
    // the program until a reader came, whatever signal arrived). The descriptor then blocks
    // again, so that a write waits for the reader as a pipe's writes do.
    std::int32_t open_for_writing(const char* path) {
        for (bool told = false;; told = true) {
            const int opened = ::open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
            if (opened >= 0) {
                const int fd = descriptor_above_zero(opened);
                const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
                if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
                    const std::int32_t result =
                        report_system_error(LOG_ERROR, "pipe_open", path, "fcntl");
                    if (fd >= 0) {
                        ::close(fd);
                    }
                    return result;
                }
                fd_ = fd;
                return 0;
            }
            if (errno != ENXIO) {
                return report_system_error(LOG_ERROR, "pipe_open", path, "open");
            }
            if (stop_request_made()) {
                return -EINTR;
            }
            if (!told) {
                logger_log(LOG_INFO, "%s: waiting for a reader of %s", "pipe_open", path);
            }
            poll(nullptr, 0, reader_poll_ms);  // a signal cuts it short
        }
    }

    void release() {
        if (fd_ != 0) {
            ::close(fd_);
            fd_ = 0;
        }
        if (made_) {
            unlink(path_.c_str());
            made_ = false;
        }
        path_.clear();
    }
};

}  // namespace

std::int32_t pipe_backend_init(audio_backend** out) {
    return backend_create<pipe_backend>(out, "pipe_backend_init");
}
