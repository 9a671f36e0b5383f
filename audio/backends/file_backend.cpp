#include "audio/backends/file_backend.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "audio/backends/backend_create.hpp"
#include "audio/backends/descriptor_io.hpp"
#include "common/logger.hpp"

namespace {

constexpr int standard_output = 1;

class file_backend final : public audio_backend {
public:
    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t,
                      const stream_config*) override {
        if (device == nullptr || device[0] == '\0') {
            return open_standard_stream(direction);
        }
        if (direction == AUDIO_DIRECTION_IN) {
            return descriptor_open(device, O_RDONLY, 0, &fd_, "file_open");
        }
        return descriptor_open(device, O_WRONLY | O_CREAT | O_TRUNC, 0660, &fd_, "file_open");
    }

    std::int32_t close() override {
        // Standard output is used but never closed; 0 holds nothing.
        if (fd_ == standard_output || fd_ == 0) {
            return 0;
        }
        int result = ::close(fd_);
        fd_ = 0;
        return result;
    }

    std::int32_t write(const void* data, std::uint64_t size) override {
        return descriptor_write(fd_, data, size, "file_write");
    }

    std::int32_t read(void* data, std::uint64_t size) override {
        return descriptor_read(fd_, data, size, "file_read");
    }

private:
    int fd_ = 0;  // 0: nothing held; 1: standard output

    std::int32_t open_standard_stream(std::int32_t direction) {
        if (direction != AUDIO_DIRECTION_IN) {
            fd_ = standard_output;
            return 0;
        }
        // Standard input is descriptor 0, which means "nothing held" here, so capture reads
        // through a duplicate of it (closing the duplicate leaves standard input alone).
        int duplicate = fcntl(0, F_DUPFD_CLOEXEC, 3);
        if (duplicate < 0) {
            int error = errno;
            logger_log(LOG_FATAL, "%s: open error", "file_open");
            errno = error;
            std::perror("open");
            return -error;
        }
        fd_ = duplicate;
        return 0;
    }
};

}  // namespace

std::int32_t file_backend_init(audio_backend** out) {
    return backend_create<file_backend>(out, "file_backend_init");
}
