// SPDX-License-Identifier: MIT
// clock_scale.so: an LD_PRELOAD shim that makes a process's monotonic clocks run fast or slow
// by CLOCK_SCALE_PPM (parts per million, may be negative or fractional), so that a JACK dummy
// driver paced on them, and its clients, behave as a sound card whose crystal is off.
//
// What jack2's dummy driver paces itself with (found with gdb on jackd 1.9.21): every
// timestamp comes from clock_gettime(CLOCK_MONOTONIC_RAW) (libjackserver's GetMicroSeconds,
// also behind libjack's jack_get_time), and the driver waits for its next cycle with
// usleep(remaining microseconds), glibc's usleep being a relative CLOCK_REALTIME nanosleep.
// So both monotonic clocks are scaled, and relative sleeps are shortened or lengthened by the
// same factor (a sleep of d scaled seconds takes d / (1 + ppm) true seconds); absolute sleeps
// on a scaled clock are turned into the true deadline. CLOCK_REALTIME and CLOCK_BOOTTIME stay
// true: the benchmark's tools stamp true time with CLOCK_BOOTTIME.
//
// scaled(t) = E + (true(t) - E) * (1 + ppm / 1e6), where E is CLOCK_SCALE_EPOCH_NS when set
// (the same for every process of one scaled JACK server, so they agree on its clock) and
// otherwise the clock's value when this library was loaded.

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

using clock_gettime_fn = int (*)(clockid_t, timespec*);
using nanosleep_fn = int (*)(const timespec*, timespec*);
using clock_nanosleep_fn = int (*)(clockid_t, int, const timespec*, timespec*);

clock_gettime_fn real_clock_gettime = nullptr;
nanosleep_fn real_nanosleep = nullptr;
clock_nanosleep_fn real_clock_nanosleep = nullptr;

long double factor = 1.0L;             // scaled seconds per true second
std::int64_t epoch_monotonic = 0;      // E for CLOCK_MONOTONIC, in ns
std::int64_t epoch_monotonic_raw = 0;  // E for CLOCK_MONOTONIC_RAW, in ns
bool ready = false;

constexpr std::int64_t ns_per_s = 1000000000;

std::int64_t to_ns(const timespec& t) {
    return std::int64_t{t.tv_sec} * ns_per_s + t.tv_nsec;
}

timespec from_ns(std::int64_t ns) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(ns / ns_per_s);
    t.tv_nsec = static_cast<long>(ns % ns_per_s);
    if (t.tv_nsec < 0) {
        t.tv_nsec += ns_per_s;
        t.tv_sec -= 1;
    }
    return t;
}

bool scaled_clock(clockid_t id) {
    return id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW;
}

std::int64_t epoch_of(clockid_t id) {
    return id == CLOCK_MONOTONIC ? epoch_monotonic : epoch_monotonic_raw;
}

std::int64_t scale_duration(std::int64_t ns) {
    return static_cast<std::int64_t>(static_cast<long double>(ns) / factor);
}

__attribute__((constructor)) void clock_scale_load() {
    real_clock_gettime = reinterpret_cast<clock_gettime_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
    real_nanosleep = reinterpret_cast<nanosleep_fn>(dlsym(RTLD_NEXT, "nanosleep"));
    real_clock_nanosleep =
        reinterpret_cast<clock_nanosleep_fn>(dlsym(RTLD_NEXT, "clock_nanosleep"));
    if (real_clock_gettime == nullptr || real_nanosleep == nullptr ||
        real_clock_nanosleep == nullptr) {
        return;
    }
    const char* ppm = std::getenv("CLOCK_SCALE_PPM");
    factor = 1.0L + (ppm != nullptr ? std::strtold(ppm, nullptr) : 0.0L) / 1e6L;
    if (!(factor > 0.5L && factor < 2.0L)) {
        factor = 1.0L;  // a nonsense value leaves the clocks alone rather than stopping them
    }
    timespec now{};
    real_clock_gettime(CLOCK_MONOTONIC, &now);
    epoch_monotonic = to_ns(now);
    real_clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    epoch_monotonic_raw = to_ns(now);
    if (const char* epoch = std::getenv("CLOCK_SCALE_EPOCH_NS"); epoch != nullptr) {
        epoch_monotonic = epoch_monotonic_raw = std::strtoll(epoch, nullptr, 10);
    }
    ready = true;
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t id, timespec* out) {
    if (!ready) {
        // Called before the constructor ran (by another library's constructor): find the
        // real one now and answer unscaled.
        auto real = reinterpret_cast<clock_gettime_fn>(dlsym(RTLD_NEXT, "clock_gettime"));
        return real != nullptr ? real(id, out) : (errno = ENOSYS, -1);
    }
    const int result = real_clock_gettime(id, out);
    if (result == 0 && scaled_clock(id)) {
        const std::int64_t e = epoch_of(id);
        const auto elapsed = static_cast<long double>(to_ns(*out) - e);
        *out = from_ns(e + static_cast<std::int64_t>(elapsed * factor));
    }
    return result;
}

int nanosleep(const timespec* request, timespec* remain) {
    if (!ready || request == nullptr) {
        auto real = reinterpret_cast<nanosleep_fn>(dlsym(RTLD_NEXT, "nanosleep"));
        return real(request, remain);
    }
    const timespec scaled = from_ns(scale_duration(to_ns(*request)));
    return real_nanosleep(&scaled, remain);
}

int usleep(useconds_t usec) {
    if (!ready) {
        auto real = reinterpret_cast<nanosleep_fn>(dlsym(RTLD_NEXT, "nanosleep"));
        const timespec t = from_ns(std::int64_t{usec} * 1000);
        return real(&t, nullptr);
    }
    const timespec t = from_ns(scale_duration(std::int64_t{usec} * 1000));
    return real_nanosleep(&t, nullptr);
}

int clock_nanosleep(clockid_t id, int flags, const timespec* request, timespec* remain) {
    if (!ready || request == nullptr) {
        auto real = reinterpret_cast<clock_nanosleep_fn>(dlsym(RTLD_NEXT, "clock_nanosleep"));
        return real(id, flags, request, remain);
    }
    if ((flags & TIMER_ABSTIME) == 0) {
        const timespec scaled = from_ns(scale_duration(to_ns(*request)));
        return real_clock_nanosleep(id, flags, &scaled, remain);
    }
    if (!scaled_clock(id)) {
        return real_clock_nanosleep(id, flags, request, remain);
    }
    // The true deadline at which the scaled clock reads the requested time.
    const std::int64_t e = epoch_of(id);
    const timespec deadline = from_ns(e + scale_duration(to_ns(*request) - e));
    return real_clock_nanosleep(id, flags, &deadline, remain);
}

}  // extern "C"
