#include "audio/backends/pipe_backend.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "audio/backends/backend_create.hpp"
#include "audio/backends/descriptor_io.hpp"
#include "common/logger.hpp"

namespace {

class pipe_backend final : public audio_backend {
public:
    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t,
                      const stream_config*) override {
        // The FIFO is made on every open, also when another path is named: the close before
        // every open removed the one of an earlier run or configuration.
        if (mkfifo(PIPE_BACKEND_FIFO_PATH, 0666) != 0) {
            int error = errno;
            logger_log(LOG_FATAL, "%s: ???", "pipe_open");
            errno = error;
            std::perror("mknod");
            fd_ = 0;
            return -1;
        }
        const char* path = device != nullptr && device[0] != '\0' ? device : PIPE_BACKEND_FIFO_PATH;
        int flags = direction == AUDIO_DIRECTION_IN ? O_RDONLY : O_WRONLY;
        return descriptor_open(path, flags, 0, &fd_, "pipe_open");
    }

    std::int32_t close() override {
        int result = 0;
        if (fd_ != 0) {
            result = ::close(fd_);
            fd_ = 0;
        }
        unlink(PIPE_BACKEND_FIFO_PATH);
        return result;
    }

    std::int32_t write(const void* data, std::uint64_t size) override {
        return descriptor_write(fd_, data, size, "pipe_write");
    }

    std::int32_t read(void* data, std::uint64_t size) override {
        return descriptor_read(fd_, data, size, "pipe_read");
    }

private:
    int fd_ = 0;  // 0: nothing held
};

}  // namespace

std::int32_t pipe_backend_init(audio_backend** out) {
    return backend_create<pipe_backend>(out, "pipe_backend_init");
}
