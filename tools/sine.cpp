// SPDX-License-Identifier: MIT
// sine SECONDS RATE CHANNELS
// Writes SECONDS of a sine tone as raw signed 16-bit little-endian PCM to standard output:
// channel c at 440 Hz × (c + 1), at half of full scale.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SECONDS RATE CHANNELS\n", argv[0]);
        return 2;
    }
    double seconds = std::atof(argv[1]);
    long rate = std::atol(argv[2]);
    long channels = std::atol(argv[3]);
    if (seconds <= 0 || rate <= 0 || channels <= 0 || channels > 256) {
        std::fprintf(stderr, "%s: SECONDS, RATE and CHANNELS (1 to 256) must be positive\n",
                     argv[0]);
        return 2;
    }
    auto frames = static_cast<long>(seconds * static_cast<double>(rate));
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(channels) * 2);
    for (long f = 0; f < frames; ++f) {
        for (long c = 0; c < channels; ++c) {
            double phase = 2.0 * M_PI * 440.0 * static_cast<double>(c + 1) *
                           static_cast<double>(f) / static_cast<double>(rate);
            auto sample = static_cast<std::uint16_t>(
                static_cast<std::int16_t>(std::lround(16383.0 * std::sin(phase))));
            frame[static_cast<std::size_t>(c) * 2] = static_cast<std::uint8_t>(sample & 0xFF);
            frame[static_cast<std::size_t>(c) * 2 + 1] = static_cast<std::uint8_t>(sample >> 8);
        }
        if (std::fwrite(frame.data(), 1, frame.size(), stdout) != frame.size()) {
            return 1;
        }
    }
    return 0;
}
