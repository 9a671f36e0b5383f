// SPDX-License-Identifier: MIT
#include "audio/backends/file_backend.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "audio/backends/backend_create.hpp"
#include "audio/backends/descriptor_io.hpp"
#include "audio/backends/sndfile_sink.hpp"
#include "common/logger.hpp"
#include "common/system_error.hpp"

namespace {

constexpr int standard_output = 1;

class file_backend final : public audio_backend {
public:
    ~file_backend() override { close(); }

    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t,
                      const stream_config* config) override {
        const char* name = "file_open";
        if (device == nullptr || device[0] == '\0') {
            path_ = "standard output";
            return open_standard_stream(direction);
        }
        path_ = device;
        // A recording in a container: every stream configuration gets a take of its own, so
        // that each file's header describes all of its samples.
        if (direction != AUDIO_DIRECTION_IN &&
            sndfile_container_of(device) != sndfile_container::none) {
            std::int32_t result = recording_.open(device, takes_ + 1, config);
            if (result == 0 && takes_ != 0) {
                pace_.started(monotonic_ns());
            }
            if (result == 0) {
                takes_ = recording_.take();
            }
            return result;
        }
        if (direction == AUDIO_DIRECTION_IN) {
            return descriptor_open_named(device, O_RDONLY, 0, &fd_, name);
        }
        // The first open of a run starts the recording afresh; a reopen for a new stream
        // configuration appends, so that what was recorded before the change is kept.
        const int start = recorded_ ? O_APPEND : O_TRUNC;
        std::int32_t result =
            descriptor_open_named(device, O_WRONLY | O_CREAT | start, 0660, &fd_, name);
        if (result == 0) {
            recorded_ = true;
        }
        return result;
    }

    bool accepts_change_now() const override {
        return !recording_.is_open() || pace_.allows(monotonic_ns());
    }

    std::int32_t close() override {
        if (recording_.is_open()) {
            return recording_.close();
        }
        // Standard output is used but never closed; 0 holds nothing.
        if (fd_ == standard_output || fd_ == 0) {
            return 0;
        }
        int result = ::close(fd_);
        fd_ = 0;
        return result;
    }

    std::int32_t write(const void* data, std::uint64_t size) override {
        if (recording_.is_open()) {
            return recording_.write(data, size);
        }
        return descriptor_write(fd_, data, size, "file_write", path_.c_str());
    }

    std::int32_t read(void* data, std::uint64_t size) override {
        return descriptor_read(fd_, data, size, "file_read");
    }

    std::int32_t wait_input(int other_fd, int timeout_ms) override {
        return descriptor_wait(fd_, other_fd, timeout_ms);
    }

private:
    int fd_ = 0;             // 0: nothing held; 1: standard output
    std::string path_;       // what -d named, for the messages
    bool recorded_ = false;  // a playback open of this run has succeeded
    sndfile_sink recording_;
    std::uint32_t takes_ = 0;  // the number of the recording's last take, in this run
    sndfile_take_pace pace_;

    static std::int64_t monotonic_ns() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    std::int32_t open_standard_stream(std::int32_t direction) {
        if (direction != AUDIO_DIRECTION_IN) {
            fd_ = standard_output;
            return 0;
        }
        // Standard input is descriptor 0, which means "nothing held" here, so capture reads
        // through a duplicate of it (closing the duplicate leaves standard input alone).
        int duplicate = fcntl(0, F_DUPFD_CLOEXEC, 3);
        if (duplicate < 0) {
            return report_system_error(LOG_ERROR, "file_open", "standard input", "fcntl");
        }
        fd_ = duplicate;
        return 0;
    }
};

}  // namespace

std::int32_t file_backend_init(audio_backend** out) {
    return backend_create<file_backend>(out, "file_backend_init");
}
