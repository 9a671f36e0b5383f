// SPDX-License-Identifier: MIT
#pragma once

// The true time (CLOCK_BOOTTIME, which clock_scale.so leaves alone) of a moment given on a
// JACK server's clock, which may be scaled (CLOCK_SCALE_PPM, as clock_scale.so reads it).
// Header-only: the click sender and the recorder share it.

#include <jack/jack.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>

namespace clock_follow {

class true_clock {
public:
    // Reads CLOCK_SCALE_PPM, as the shim does: JACK microseconds per true microsecond.
    true_clock() {
        const char* ppm = std::getenv("CLOCK_SCALE_PPM");
        factor_ = 1.0L + (ppm != nullptr ? std::strtold(ppm, nullptr) : 0.0L) / 1e6L;
    }

    // CLOCK_BOOTTIME in ns of JACK time `usecs` (fractional), from the two clocks read side by
    // side now. Both reads go through the vDSO: fit for a process callback.
    [[nodiscard]] long double boottime_ns(long double usecs) const {
        const long double before = boottime_now();
        const jack_time_t jack_now = jack_get_time();
        const long double after = boottime_now();
        const long double ago_us = (static_cast<long double>(jack_now) - usecs) / factor_;
        return (before + after) / 2.0L - ago_us * 1000.0L;
    }

    // True nanoseconds per frame at `rate` frames per JACK second.
    [[nodiscard]] long double frame_ns(std::uint32_t rate) const { return 1e9L / (rate * factor_); }

    [[nodiscard]] static long double boottime_now() {
        timespec t{};
        clock_gettime(CLOCK_BOOTTIME, &t);
        return static_cast<long double>(t.tv_sec) * 1e9L + static_cast<long double>(t.tv_nsec);
    }

private:
    long double factor_;
};

}  // namespace clock_follow
