// SPDX-License-Identifier: MIT
#include "audio/backends/jack_capture.hpp"

#include <jack/jack.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <thread>

#include "audio/backends/backend_create.hpp"
#include "audio/backends/jack_client.hpp"
#include "audio/backends/jack_convert.hpp"
#include "audio/playout/sample_convert.hpp"
#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

using steady = std::chrono::steady_clock;

// What the ring between the process thread and the sender holds: a quarter of a second, or
// four periods where that is more. The sender takes each packet as soon as it is there, so
// the ring fills only while the network holds the sender up.
constexpr std::uint64_t ring_ms = 250;

// A read sleeps until the cycle that should complete its frames has run, plus this much for
// the graph to reach this client; a cycle that is late is then looked for this often.
constexpr jack_time_t wake_margin_us = 100;
constexpr auto late_cycle_poll = std::chrono::microseconds(250);

// A server that runs no cycle for this long has stalled: the read gives up.
constexpr auto stall_limit = std::chrono::seconds(10);

// Losses are reported at most this often.
constexpr auto report_interval = std::chrono::seconds(1);

// Two threads meet here. The sender's thread opens, reads and closes; JACK's process thread runs
// jack_process_cb once per cycle; JACK library threads may run the xrun and shutdown callbacks.
// They share the ring's samples, handed over through the two frame counts (each written by one
// thread, stored with release and loaded with acquire by the other), and the atomic counters
// and flag. Everything else the process thread reads is written while no cycle can run.
class jack_capture_backend final : public audio_backend {
public:
    ~jack_capture_backend() override { close(); }

    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t buffer_size,
                      const stream_config* config) override;
    std::int32_t close() override;
    std::int32_t read(void* data, std::uint64_t size) override;
    std::int32_t write(const void*, std::uint64_t) override {
        logger_log(LOG_ERROR, "%s: this client only captures", "jack_write");
        return -ENODEV;
    }
    std::uint32_t device_rate() const override { return sample_rate_; }

private:
    // Called by JACK on its process thread once per cycle, with the backend as `arg`: copies
    // the cycle, interleaved, into the ring, or counts an overrun when it has no room. No
    // allocation, no lock, no system call, no log line.
    static int jack_process_cb(jack_nframes_t frames, void* arg);
    // Called by JACK when the server reports an xrun: counted, for the sender to report.
    static int jack_xrun_cb(void* arg);
    // Called by JACK on one of its own threads when the server shuts the client down: only
    // marks the backend; the next read closes it.
    static void jack_shutdown_cb(void* arg);

    jack_client_t* client_ = nullptr;
    std::array<jack_port_t*, VBAN_CHANNELS_MAX_NB> ports_{};
    // Each channel's port buffer for the current cycle; only the process thread uses it.
    std::array<const float*, VBAN_CHANNELS_MAX_NB> port_buffers_{};
    std::unique_ptr<float[]> ring_;  // ring_frames_ interleaved frames
    std::uint64_t ring_frames_ = 0;
    std::uint32_t nb_channels_ = 0;
    std::uint32_t bit_fmt_ = 0;
    std::uint32_t sample_rate_ = 0;               // the server's
    std::uint32_t period_frames_ = 0;             // the server's, at the open
    std::atomic<std::uint64_t> written_{0};       // frames put into the ring (process thread)
    std::atomic<std::uint64_t> taken_{0};         // frames taken out (sender)
    std::atomic<jack_nframes_t> cycle_start_{0};  // frame time at which the last cycle began
    std::atomic<std::uint64_t> overruns_{0};      // cycles dropped on a full ring
    std::atomic<std::uint64_t> xruns_{0};
    std::atomic<bool> shut_down_{false};
    // What the sender last reported, and when.
    std::uint64_t reported_overruns_ = 0;
    std::uint64_t reported_xruns_ = 0;
    steady::time_point reported_at_{};

    std::int32_t jack_start();
    void process(jack_nframes_t frames);
    bool wait_for(std::uint64_t frames);
    void sleep_until_next_cycles(std::uint64_t missing);
    void report_losses();
};

std::int32_t jack_capture_backend::open(const char* device, std::int32_t, std::uint64_t,
                                        const stream_config* config) {
    const char* name = "jack_open";
    if (config == nullptr || config->nb_channels == 0 ||
        config->nb_channels > VBAN_CHANNELS_MAX_NB || bit_fmt_sample_size(config->bit_fmt) == 0) {
        logger_log(LOG_ERROR, "%s: invalid stream config", name);
        return -EINVAL;
    }
    close();

    client_ = jack_client_open_named(device, "quellor");
    if (client_ == nullptr) {
        return -ENODEV;
    }
    sample_rate_ = jack_get_sample_rate(client_);
    if (config->sample_rate != 0 && config->sample_rate != sample_rate_) {
        logger_log(LOG_ERROR,
                   "%s: the JACK server runs at %u Hz, not at the %u Hz asked for: capture at "
                   "%u Hz, or leave the rate to the server",
                   name, sample_rate_, config->sample_rate, sample_rate_);
        close();
        return -ERANGE;
    }
    period_frames_ = jack_get_buffer_size(client_);
    nb_channels_ = config->nb_channels;
    bit_fmt_ = config->bit_fmt;
    ring_frames_ =
        std::max(std::uint64_t{sample_rate_} * ring_ms / 1000, 4 * std::uint64_t{period_frames_});
    // Value-initialised: every page is written before the process thread may touch it.
    ring_.reset(new (std::nothrow) float[ring_frames_ * nb_channels_]());
    if (!ring_) {
        logger_log(LOG_ERROR, "%s: could not allocate a ring of %llu frames", name,
                   static_cast<unsigned long long>(ring_frames_));
        close();
        return -ENOMEM;
    }
    written_.store(0, std::memory_order_relaxed);
    taken_.store(0, std::memory_order_relaxed);
    overruns_.store(0, std::memory_order_relaxed);
    xruns_.store(0, std::memory_order_relaxed);
    reported_overruns_ = 0;
    reported_xruns_ = 0;

    int result = jack_set_process_callback(client_, jack_process_cb, this);
    if (result != 0) {
        logger_log(LOG_ERROR, "%s: impossible to set jack process callback", name);
        close();
        return result;
    }
    jack_set_xrun_callback(client_, jack_xrun_cb, this);
    jack_on_shutdown(client_, jack_shutdown_cb, this);
    return jack_start();
}

std::int32_t jack_capture_backend::jack_start() {
    const char* name = "jack_start";
    if (!jack_ports_register(client_, ports_.data(), nb_channels_, "capture", JackPortIsInput)) {
        close();
        return -ENODEV;
    }
    const int result = jack_activate(client_);
    if (result != 0) {
        logger_log(LOG_ERROR, "%s: can't activate client", name);
        close();
        return result;
    }
    logger_log(LOG_DEBUG, "%s: jack activated", name);
    // A channel left unconnected captures silence until something is connected to it.
    jack_ports_connect_physical(client_, ports_.data(), nb_channels_, true);
    return 0;
}

std::int32_t jack_capture_backend::close() {
    if (client_ == nullptr) {
        return 0;
    }
    const int result = jack_client_end(client_, shut_down_.load(std::memory_order_acquire));
    // The client and its threads are gone: nothing else touches the ring now.
    client_ = nullptr;
    ring_.reset();
    ports_.fill(nullptr);
    shut_down_.store(false, std::memory_order_relaxed);
    return result;
}

std::int32_t jack_capture_backend::read(void* data, std::uint64_t size) {
    const char* name = "jack_read";
    if (data == nullptr) {
        logger_log(LOG_ERROR, "%s: handle or data pointer is null", name);
        return -EINVAL;
    }
    if (client_ == nullptr) {
        logger_log(LOG_ERROR, "%s: device not open", name);
        return -ENODEV;
    }
    const std::size_t frame_bytes = bit_fmt_frame_size(bit_fmt_, nb_channels_);
    // Whole frames, and never more than half the ring, which must also take the next cycles.
    const std::uint64_t frames = std::min(size / frame_bytes, ring_frames_ / 2);
    if (!wait_for(frames)) {
        close();
        return -ENODEV;
    }
    const std::uint64_t taken = taken_.load(std::memory_order_relaxed);
    const std::uint64_t start = taken % ring_frames_;
    const std::uint64_t first = std::min(frames, ring_frames_ - start);
    auto* out = static_cast<std::uint8_t*>(data);
    // The format has whole-byte samples (checked at the open): neither conversion can fail.
    (void)sample_convert_from_float(bit_fmt_, ring_.get() + start * nb_channels_,
                                    first * nb_channels_, out);
    (void)sample_convert_from_float(bit_fmt_, ring_.get(), (frames - first) * nb_channels_,
                                    out + first * frame_bytes);
    taken_.store(taken + frames, std::memory_order_release);
    report_losses();
    return static_cast<std::int32_t>(frames * frame_bytes);
}

// True once the ring holds `frames`; false, after the line that says why, when the server has
// shut the client down or has stalled.
bool jack_capture_backend::wait_for(std::uint64_t frames) {
    const char* name = "jack_read";
    jack_nframes_t seen = cycle_start_.load(std::memory_order_relaxed);
    steady::time_point progress = steady::now();
    while (!shut_down_.load(std::memory_order_acquire)) {
        const std::uint64_t available =
            written_.load(std::memory_order_acquire) - taken_.load(std::memory_order_relaxed);
        if (available >= frames) {
            return true;
        }
        const steady::time_point now = steady::now();
        if (const jack_nframes_t cycle = cycle_start_.load(std::memory_order_relaxed);
            cycle != seen) {
            seen = cycle;
            progress = now;
        } else if (now - progress > stall_limit) {
            logger_log(LOG_ERROR, "%s: the JACK server has run no cycle for %lld s", name,
                       static_cast<long long>(
                           std::chrono::duration_cast<std::chrono::seconds>(stall_limit).count()));
            return false;
        }
        sleep_until_next_cycles(frames - available);
    }
    logger_log(LOG_ERROR, "%s: the JACK server has shut the client down", name);
    return false;
}

// The frames come a period at a time, at the start of each cycle: sleeps until the cycle that
// should bring the last of them has begun and this client's turn has come, so that a packet
// leaves as soon as it is complete without waking up in between.
void jack_capture_backend::sleep_until_next_cycles(std::uint64_t missing) {
    const std::uint64_t period = std::max<std::uint64_t>(period_frames_, 1);
    const std::uint64_t cycles = (missing + period - 1) / period;
    const auto period_us =
        std::chrono::microseconds(period * 1'000'000 / std::max<std::uint32_t>(sample_rate_, 1));
    if (written_.load(std::memory_order_relaxed) == 0) {
        std::this_thread::sleep_for(period_us);  // no cycle yet: nothing to time it by
        return;
    }
    const jack_nframes_t next =
        cycle_start_.load(std::memory_order_relaxed) + static_cast<jack_nframes_t>(cycles * period);
    const jack_time_t wake = jack_frames_to_time(client_, next) + wake_margin_us;
    const jack_time_t now = jack_get_time();
    if (wake <= now) {
        std::this_thread::sleep_for(late_cycle_poll);
        return;
    }
    // Never longer than the cycles themselves, whatever the server's clock says.
    const auto wait =
        std::min(std::chrono::microseconds(wake - now), static_cast<long>(cycles) * period_us);
    std::this_thread::sleep_for(wait);
}

void jack_capture_backend::report_losses() {
    const std::uint64_t overruns = overruns_.load(std::memory_order_relaxed);
    const std::uint64_t xruns = xruns_.load(std::memory_order_relaxed);
    if (overruns == reported_overruns_ && xruns == reported_xruns_) {
        return;
    }
    const steady::time_point now = steady::now();
    if (now - reported_at_ < report_interval) {
        return;
    }
    logger_log(LOG_WARNING,
               "%s: %llu cycles lost (the ring was full: the network held the sender up) and %llu "
               "xruns since the last report",
               "jack_read", static_cast<unsigned long long>(overruns - reported_overruns_),
               static_cast<unsigned long long>(xruns - reported_xruns_));
    reported_overruns_ = overruns;
    reported_xruns_ = xruns;
    reported_at_ = now;
}

int jack_capture_backend::jack_process_cb(jack_nframes_t frames, void* arg) {
    if (arg == nullptr) {
        return -EINVAL;
    }
    static_cast<jack_capture_backend*>(arg)->process(frames);
    return 0;
}

void jack_capture_backend::process(jack_nframes_t frames) {
    cycle_start_.store(jack_last_frame_time(client_), std::memory_order_relaxed);
    const std::uint64_t written = written_.load(std::memory_order_relaxed);
    const std::uint64_t taken = taken_.load(std::memory_order_acquire);
    if (ring_frames_ - (written - taken) < frames) {
        overruns_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    for (std::uint32_t c = 0; c < nb_channels_; ++c) {
        port_buffers_[c] = static_cast<const float*>(jack_port_get_buffer(ports_[c], frames));
    }
    const std::uint64_t start = written % ring_frames_;
    const std::uint64_t first = std::min<std::uint64_t>(frames, ring_frames_ - start);
    jack_interleave_cycle(port_buffers_.data(), nb_channels_, 0, first,
                          ring_.get() + start * nb_channels_);
    jack_interleave_cycle(port_buffers_.data(), nb_channels_, first, frames - first, ring_.get());
    written_.store(written + frames, std::memory_order_release);
}

int jack_capture_backend::jack_xrun_cb(void* arg) {
    if (arg != nullptr) {
        static_cast<jack_capture_backend*>(arg)->xruns_.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

void jack_capture_backend::jack_shutdown_cb(void* arg) {
    if (arg != nullptr) {
        static_cast<jack_capture_backend*>(arg)->shut_down_.store(true, std::memory_order_release);
    }
}

}  // namespace

std::int32_t jack_capture_backend_init(audio_backend** out) {
    return backend_create<jack_capture_backend>(out, "jack_capture_backend_init");
}
