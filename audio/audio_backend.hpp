#pragma once

#include <cstdint>

#include "vban/stream_config.hpp"

constexpr std::int32_t AUDIO_DIRECTION_IN = 0;   // capture
constexpr std::int32_t AUDIO_DIRECTION_OUT = 1;  // playback

// One sound device, file or pipe. The audio object drives it: close before every open (also
// before the first), transfers in the direction it was opened for, close once more at the
// end. All members run on the thread that uses the audio object.
class audio_backend {
public:
    virtual ~audio_backend() = default;

    // Opens the device for `config`. `device` is empty for the backend's own default;
    // `buffer_size` (bytes) means what each backend makes of it. 0 or a negative code.
    [[nodiscard]] virtual std::int32_t open(const char* device, std::int32_t direction,
                                            std::uint64_t buffer_size,
                                            const stream_config* config) = 0;

    // Closes whatever is open; 0 also when nothing was.
    virtual std::int32_t close() = 0;

    // Plays interleaved frames; the number of bytes taken, or a negative code.
    [[nodiscard]] virtual std::int32_t write(const void* data, std::uint64_t size) = 0;

    // Captures interleaved frames; the number of bytes delivered, or a negative code. A
    // backend that cannot capture keeps this one, which answers -ENODEV.
    [[nodiscard]] virtual std::int32_t read(void* data, std::uint64_t size);
};
