// SPDX-License-Identifier: MIT
#include "audio/backends/jack_backend.hpp"

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <jack/thread.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <span>
#include <thread>

#include "audio/backends/backend_create.hpp"
#include "audio/backends/jack_client.hpp"
#include "audio/backends/jack_convert.hpp"
#include "audio/playout/missed_cycles.hpp"
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
    std::int32_t device_error() override;

    void set_target_latency(std::uint32_t ms) override { target_ms_ = ms; }
    bool keeps_time() const override { return client_ != nullptr; }
    bool takes_from_playout() const override { return true; }
    std::uint32_t device_rate() const override { return sample_rate_; }
    std::uint32_t period_frames() const override { return period_frames_; }
    std::int32_t device_fill() override;
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
    // The cycles the server ran without this client; only the process thread uses it.
    missed_cycles missed_{};
    // Frames the main thread has put into the ring buffer since the open.
    std::uint64_t written_frames_ = 0;
    // What the process thread publishes each cycle: the frames it has taken from the ring
    // since the open, and when the cycle began (CLOCK_MONOTONIC, ns). With them the main
    // thread counts the fill smoothly: a period being played drains as time passes, not all
    // at once at the start of the cycle. Each cycle fills the next of four slots and then
    // counts it published (release); a reader takes the slot of the count it sees and checks
    // that the count has not gone on so far meanwhile that the slot was filled again.
    struct cycle_slot {
        std::atomic<std::uint64_t> consumed{0};
        std::atomic<std::int64_t> start_ns{0};
    };
    static constexpr std::uint32_t cycle_slots = 4;
    std::array<cycle_slot, cycle_slots> cycle_slots_{};
    std::atomic<std::uint32_t> cycles_published_{0};

    void publish_cycle(std::int64_t start_ns, std::uint64_t consumed);
    void silence_ports(std::uint32_t from, std::uint32_t to);
    void await_first_cycle();
    void follow_server_priority();
    bool raised_ = false;  // the caller's thread was given a real-time priority once

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
        return jack_close_pending() ? -EDEADLK : -ENODEV;
    }

    nb_channels_ = config->nb_channels;
    bit_fmt_ = config->bit_fmt;
    written_frames_ = 0;
    for (cycle_slot& slot : cycle_slots_) {
        slot.consumed.store(0, std::memory_order_relaxed);
        slot.start_ns.store(0, std::memory_order_relaxed);
    }
    cycles_published_.store(0, std::memory_order_relaxed);
    missed_ = missed_cycles{};
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
    follow_server_priority();
    await_first_cycle();
    return 0;
}

// The thread that feeds the ring (the caller's: the receiver's packets come in on it) keeps
// the latency only if it runs when a packet comes: on a busy machine an ordinary thread waits
// for tens of milliseconds, and the ring runs dry. Under a real-time server it takes a real-time
// priority too, below the process thread's, so that the audio comes first and the packets
// next, as JACK's own network clients do. Not allowed (no rtprio for this user): it stays as it
// is, and says so once.
void jack_backend::follow_server_priority() {
    if (!jack_is_realtime(client_) || raised_) {
        return;
    }
    sched_param param{};
    param.sched_priority = std::max(1, jack_client_real_time_priority(client_) - 5);
    const int result = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (result != 0) {
        logger_log(LOG_INFO, "%s: the receiver keeps its ordinary priority: %s", "jack_start",
                   std::strerror(result));
    } else {
        logger_log(LOG_INFO, "%s: the receiver runs at real-time priority %d, below the server's",
                   "jack_start", param.sched_priority);
    }
    raised_ = true;
}

// The playout starts the output at its target only if it knows when the next period begins:
// the open waits for the first cycle (a few milliseconds; at most half a second, for a server
// that has stalled, after which the output plays on as it can).
void jack_backend::await_first_cycle() {
    for (int waited_ms = 0; waited_ms < 500; ++waited_ms) {
        if (cycles_published_.load(std::memory_order_acquire) != 0 ||
            shut_down_.load(std::memory_order_relaxed)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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

// The periods the fill counts as played while this client's next cycle is late: a server that
// runs cycles without a client late for them (a busy host) plays on; one that is late itself
// does not, and the two look alike until the cycle comes.
constexpr double late_cycles_counted = 4.0;

// How long a frame written now waits before a cycle takes it: the queued frames (written less
// taken by the process thread), less what the server has played since the last cycle began.
// Counted so, it falls smoothly between cycles instead of by a period at each, and below 0 it
// tells how short the next cycle will come up.
std::int32_t jack_backend::device_fill() {
    if (ring_buffer_ == nullptr || sample_rate_ == 0) {
        return 0;
    }
    std::uint64_t consumed = 0;
    std::int64_t start_ns = 0;
    // A slot filled again while it was read is read again; the process thread fills one a
    // period, so a few tries always find it still.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::uint32_t count = cycles_published_.load(std::memory_order_acquire);
        const cycle_slot& slot = cycle_slots_[count % cycle_slots];
        consumed = slot.consumed.load(std::memory_order_acquire);
        start_ns = slot.start_ns.load(std::memory_order_acquire);
        if (cycles_published_.load(std::memory_order_acquire) - count < cycle_slots - 1) {
            break;
        }
    }
    const double queued =
        static_cast<double>(written_frames_ - std::min(consumed, written_frames_));
    double elapsed = 0.0;
    if (start_ns != 0) {
        const std::int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count();
        elapsed = std::clamp(static_cast<double>(now_ns - start_ns) * 1e-9 * sample_rate_, 0.0,
                             late_cycles_counted * static_cast<double>(period_frames_));
    }
    return static_cast<std::int32_t>(std::lround(queued - elapsed));
}

void jack_backend::publish_cycle(std::int64_t start_ns, std::uint64_t consumed) {
    const std::uint32_t next = cycles_published_.load(std::memory_order_relaxed) + 1;
    cycle_slot& slot = cycle_slots_[next % cycle_slots];
    slot.consumed.store(consumed, std::memory_order_relaxed);
    slot.start_ns.store(start_ns, std::memory_order_relaxed);
    cycles_published_.store(next, std::memory_order_release);
}

std::int32_t jack_backend::device_error() {
    if (!shut_down_.load(std::memory_order_acquire)) {
        return 0;
    }
    close();
    logger_log(LOG_ERROR, "%s: device not open", "jack_write");
    return -ENODEV;
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
    written_frames_ += size / (std::uint64_t{nb_channels_} * sample_size_);
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
    // The clock is read through the vDSO: no system call.
    const std::int64_t start_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count();
    const std::uint64_t consumed =
        cycle_slots_[cycles_published_.load(std::memory_order_relaxed) % cycle_slots].consumed.load(
            std::memory_order_relaxed);
    for (std::uint32_t c = 0; c < nb_channels_; ++c) {
        port_buffers_[c] = static_cast<float*>(jack_port_get_buffer(ports_[c], frames));
    }
    const std::uint32_t missed =
        missed_cycles_observe(&missed_, jack_last_frame_time(client_), frames, sample_rate_);
    playout* feeder = playout_.load(std::memory_order_acquire);
    if (feeder == nullptr || playout_get_state(feeder) == playout_state::filling) {
        // Nothing is consumed while the playout fills up to its target. The ports still get
        // silence: an output port that is not written plays whatever its buffer last held.
        silence_ports(0, frames);
        publish_cycle(start_ns, consumed);
        return;
    }
    const std::size_t frame = std::size_t{nb_channels_} * sample_size_;
    // What was due in the cycles the server ran without this client (late for them: a busy
    // host) is skipped, so that the rest plays at its time and the latency stays where it was.
    std::size_t skipped = 0;
    if (missed > 0) {
        const auto queued = static_cast<std::uint32_t>(
            std::min<std::size_t>(jack_ringbuffer_read_space(ring_buffer_) / frame, UINT32_MAX));
        skipped = std::size_t{playout_missed(feeder, queued, missed)} * frame;
        jack_ringbuffer_read_advance(ring_buffer_, skipped);
    }
    jack_ringbuffer_data_t readable[2];
    jack_ringbuffer_get_read_vector(ring_buffer_, readable);
    const std::uint32_t take =
        playout_cycle(feeder,
                      static_cast<std::uint32_t>(std::min<std::size_t>(
                          (readable[0].len + readable[1].len) / frame, frames)),
                      frames);
    std::size_t taken = 0;
    if (take > 0) {
        taken = jack_convert_cycle(
            bit_fmt_, {reinterpret_cast<const std::uint8_t*>(readable[0].buf), readable[0].len},
            {reinterpret_cast<const std::uint8_t*>(readable[1].buf), readable[1].len}, take,
            nb_channels_, port_buffers_.data());
        jack_ringbuffer_read_advance(ring_buffer_, taken);
    }
    silence_ports(take, frames);
    publish_cycle(start_ns, consumed + (skipped + taken) / frame);
}

void jack_backend::silence_ports(std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t c = 0; c < nb_channels_; ++c) {
        std::fill(port_buffers_[c] + from, port_buffers_[c] + to, 0.0f);
    }
}

void jack_backend::jack_shutdown_cb(void* arg) {
    if (arg == nullptr) {
        logger_log(LOG_ERROR, "%s: handle pointer is null", "jack_shutdown_cb");
        return;
    }
    static_cast<jack_backend*>(arg)->shut_down_.store(true, std::memory_order_release);
}

// libjack's own lines ("jack server is not running or cannot be started") go through the
// logger like every other line: with a level and a name, and quiet while the receiver asks a
// refusing server again. They detail what this backend reports at its own level: warnings.
void jack_library_error(const char* text) {
    logger_log(LOG_WARNING, "%s: %s", "jack_lib", text);
}

void jack_library_info(const char* text) {
    logger_log(LOG_DEBUG, "%s: %s", "jack_lib", text);
}

}  // namespace

std::int32_t jack_backend_init(audio_backend** out) {
    jack_set_error_function(jack_library_error);
    jack_set_info_function(jack_library_info);
    return backend_create<jack_backend>(out, "jack_backend_init");
}
