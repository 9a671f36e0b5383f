// SPDX-License-Identifier: MIT
#include "audio/backends/jack_backend.hpp"

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <span>

#include "audio/backends/backend_create.hpp"
#include "audio/backends/jack_client.hpp"
#include "audio/backends/jack_convert.hpp"
#include "audio/playout/playout.hpp"
#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

// libjack rounds a ring buffer's size up to a power of two in int arithmetic, which breaks
// above 2^30 bytes; a larger request is refused like a failed allocation.
constexpr std::uint64_t largest_ring_buffer = std::uint64_t{1} << 30;

// Room the ring keeps beyond twice the target latency: the playout lets the latency reach
// the target plus a packet and a period for a moment, and a burst may come on top.
constexpr std::uint64_t ring_slack_ms = 100;

// Two threads meet here. The main thread opens, writes and closes; JACK's process thread runs
// jack_process_cb once per cycle; a JACK library thread may run jack_shutdown_cb. They share
// the ring buffer (the main thread its only writer, the process thread its only reader), the
// playout's lock-free state and underrun call, and the atomic flags. Everything else the
// process thread reads (client, ports, ring buffer handle, format, channel count) is written
// while no cycle can run: before activation, or after the client is closed.
class jack_backend final : public audio_backend {
public:
    ~jack_backend() override { close(); }

    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t buffer_size,
                      const stream_config* config) override;
    std::int32_t close() override;
    std::int32_t write(const void* data, std::uint64_t size) override;

    void set_target_latency(std::uint32_t ms) override { target_ms_ = ms; }
    bool keeps_time() const override { return client_ != nullptr; }
    std::uint32_t device_rate() const override { return sample_rate_; }
    std::uint32_t period_frames() const override { return period_frames_; }
    std::uint32_t device_fill() override;
    void attach_playout(playout* p) override { playout_.store(p, std::memory_order_release); }

    // Called by JACK on its process thread once per cycle, with the backend as `arg`. Takes
    // one period out of the ring buffer and plays it, or silence while the playout fills up
    // to its target: no allocation, no lock, no system call, no log line (a cycle that finds
    // too little counts an underrun, which the main thread reports).
    static int jack_process_cb(jack_nframes_t frames, void* arg);

    // Called by JACK on one of its own threads when the server shuts the client down. It may
    // not close the client there, and a write may be using the ring buffer, so it only marks
    // the backend; the next write or close on the main thread does the closing.
    static void jack_shutdown_cb(void* arg);

private:
    jack_client_t* client_ = nullptr;
    std::array<jack_port_t*, VBAN_CHANNELS_MAX_NB> ports_{};
    jack_ringbuffer_t* ring_buffer_ = nullptr;
    std::uint32_t bit_fmt_ = 0;
    std::uint32_t nb_channels_ = 0;
    std::size_t sample_size_ = 0;
    std::uint32_t target_ms_ = 0;
    std::uint32_t sample_rate_ = 0;    // the server's
    std::uint32_t period_frames_ = 0;  // the server's
    // The playout that feeds the ring; the process thread asks it whether to play yet, and
    // tells it when the ring ran dry.
    std::atomic<playout*> playout_{nullptr};
    // Set by jack_shutdown_cb; release/acquire so that the main thread, when it tears the
    // client down, sees whatever the library thread did before reporting the shutdown.
    std::atomic<bool> shut_down_{false};
    // Each channel's port buffer for the current cycle; only the process thread writes it.
    std::array<float*, VBAN_CHANNELS_MAX_NB> port_buffers_{};

    std::int32_t jack_start();
    void touch_storage();
    void process(jack_nframes_t frames);
};

std::int32_t jack_backend::open(const char* device, std::int32_t, std::uint64_t buffer_size,
                                const stream_config* config) {
    const char* name = "jack_open";
    logger_log(LOG_DEBUG, "%s", name);
    // The port and buffer tables hold 256 channels, and the conversion needs a known format.
    if (config == nullptr || config->nb_channels > VBAN_CHANNELS_MAX_NB ||
        config->bit_fmt >= BIT_FMT_COUNT) {
        logger_log(LOG_ERROR, "%s: invalid stream config", name);
        return -EINVAL;
    }
    // The audio object always closes first; a client still held would leak with its thread.
    close();

    client_ = jack_client_open_named(device, "vban");
    if (client_ == nullptr) {
        return -ENODEV;
    }

    nb_channels_ = config->nb_channels;
    bit_fmt_ = config->bit_fmt;
    sample_size_ = bit_fmt_sample_size(bit_fmt_);
    sample_rate_ = jack_get_sample_rate(client_);
    period_frames_ = jack_get_buffer_size(client_);
    // Twice the target and some, or the quality's buffer size where that is more.
    const std::uint64_t frame = std::uint64_t{nb_channels_} * sample_size_;
    const std::uint64_t frames =
        std::uint64_t{sample_rate_} * (2 * target_ms_ + ring_slack_ms) / 1000 +
        4 * std::uint64_t{period_frames_};
    const std::uint64_t size = std::max(frames * frame, buffer_size);
    if (size > largest_ring_buffer ||
        (ring_buffer_ = jack_ringbuffer_create(static_cast<std::size_t>(size))) == nullptr) {
        logger_log(LOG_ERROR, "%s: could not allocate a ring buffer of %llu bytes", name,
                   static_cast<unsigned long long>(size));
        close();
        return -ENOMEM;
    }
    touch_storage();

    int result = jack_set_process_callback(client_, jack_process_cb, this);
    if (result != 0) {
        logger_log(LOG_ERROR, "%s: impossible to set jack process callback", name);
        close();
        return result;
    }
    jack_on_shutdown(client_, jack_shutdown_cb, this);
    return jack_start();
}

// Every page of the storage is written once before activation, so that the process thread
// never meets a page the system has yet to provide.
void jack_backend::touch_storage() {
    jack_ringbuffer_data_t space[2];
    jack_ringbuffer_get_write_vector(ring_buffer_, space);
    for (const jack_ringbuffer_data_t& segment : space) {
        if (segment.len > 0) {
            std::memset(segment.buf, 0, segment.len);
        }
    }
}

std::int32_t jack_backend::jack_start() {
    const char* name = "jack_start";
    // Every port exists before activation, so no cycle ever runs with a channel missing.
    if (!jack_ports_register(client_, ports_.data(), nb_channels_, "playback", JackPortIsOutput)) {
        close();
        return -ENODEV;
    }

    // On failure the client stays open, with its ports and ring buffer, until the next close.
    int result = jack_activate(client_);
    if (result != 0) {
        logger_log(LOG_ERROR, "%s: can't activate client", name);
        return result;
    }
    logger_log(LOG_DEBUG, "%s: jack activated", name);
    jack_ports_connect_physical(client_, ports_.data(), nb_channels_, false);
    return 0;
}

std::int32_t jack_backend::close() {
    if (client_ == nullptr) {
        playout_.store(nullptr, std::memory_order_release);
        return 0;
    }
    const int result = jack_client_end(client_, shut_down_.load(std::memory_order_acquire));
    // The client and its threads are gone: nothing else can touch the ring buffer, the
    // playout or the flags now.
    if (ring_buffer_ != nullptr) {
        jack_ringbuffer_free(ring_buffer_);
        ring_buffer_ = nullptr;
    }
    client_ = nullptr;
    ports_.fill(nullptr);
    playout_.store(nullptr, std::memory_order_release);
    shut_down_.store(false, std::memory_order_relaxed);
    return result;
}

std::uint32_t jack_backend::device_fill() {
    const std::size_t frame = std::size_t{nb_channels_} * sample_size_;
    if (ring_buffer_ == nullptr || frame == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(jack_ringbuffer_read_space(ring_buffer_) / frame);
}

std::int32_t jack_backend::write(const void* data, std::uint64_t size) {
    const char* name = "jack_write";
    logger_log(LOG_DEBUG, "%s", name);
    if (data == nullptr) {
        logger_log(LOG_ERROR, "%s: handle or data pointer is null", name);
        return -EINVAL;
    }
    // The server has dropped the client: close it here, on the thread that owns the ring
    // buffer, and answer like a closed device so that the caller stops.
    if (shut_down_.load(std::memory_order_acquire)) {
        close();
    }
    if (client_ == nullptr) {
        logger_log(LOG_ERROR, "%s: device not open", name);
        return -ENODEV;
    }
    // All or nothing: a part of a block would shift every later frame.
    if (jack_ringbuffer_write_space(ring_buffer_) < size) {
        logger_log(LOG_WARNING, "%s: short write", name);
        return 0;
    }
    jack_ringbuffer_write(ring_buffer_, static_cast<const char*>(data),
                          static_cast<std::size_t>(size));
    return static_cast<std::int32_t>(size);
}

int jack_backend::jack_process_cb(jack_nframes_t frames, void* arg) {
    if (arg == nullptr) {
        logger_log(LOG_ERROR, "%s: handle pointer is null", "jack_process_cb");
        return -EINVAL;
    }
    static_cast<jack_backend*>(arg)->process(frames);
    return 0;
}

void jack_backend::process(jack_nframes_t frames) {
    for (std::uint32_t c = 0; c < nb_channels_; ++c) {
        port_buffers_[c] = static_cast<float*>(jack_port_get_buffer(ports_[c], frames));
    }
    playout* feeder = playout_.load(std::memory_order_acquire);
    jack_ringbuffer_data_t readable[2];
    jack_ringbuffer_get_read_vector(ring_buffer_, readable);
    const std::size_t needed = std::size_t{frames} * nb_channels_ * sample_size_;
    const bool filling = feeder == nullptr || playout_get_state(feeder) == playout_state::filling;
    if (filling || readable[0].len + readable[1].len < needed) {
        // Nothing is consumed, so the stream resumes where it stopped once the playout has
        // filled up to its target again. The ports still get silence: an output port that is
        // not written plays whatever its buffer last held.
        if (!filling) {
            playout_note_underrun(feeder);
        }
        for (std::uint32_t c = 0; c < nb_channels_; ++c) {
            std::fill_n(port_buffers_[c], frames, 0.0f);
        }
        return;
    }
    const std::size_t consumed = jack_convert_cycle(
        bit_fmt_, {reinterpret_cast<const std::uint8_t*>(readable[0].buf), readable[0].len},
        {reinterpret_cast<const std::uint8_t*>(readable[1].buf), readable[1].len}, frames,
        nb_channels_, port_buffers_.data());
    jack_ringbuffer_read_advance(ring_buffer_, consumed);
}

void jack_backend::jack_shutdown_cb(void* arg) {
    if (arg == nullptr) {
        logger_log(LOG_ERROR, "%s: handle pointer is null", "jack_shutdown_cb");
        return;
    }
    static_cast<jack_backend*>(arg)->shut_down_.store(true, std::memory_order_release);
}

}  // namespace

std::int32_t jack_backend_init(audio_backend** out) {
    return backend_create<jack_backend>(out, "jack_backend_init");
}
