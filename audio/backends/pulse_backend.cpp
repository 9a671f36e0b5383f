// SPDX-License-Identifier: MIT
#include "audio/backends/pulse_backend.hpp"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "audio/backends/backend_create.hpp"
#include "audio/playout/playout.hpp"
#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

// PulseAudio's sample format for each whole-byte bit_fmt. It has no signed 8-bit and no 64-bit
// float format: 8I travels as unsigned 8-bit (the sign bit flipped) and 64F as 32-bit float.
constexpr std::array<pa_sample_format_t, BIT_FMT_64F + 1> pulse_formats = {
    PA_SAMPLE_U8,    PA_SAMPLE_S16LE,     PA_SAMPLE_S24LE,
    PA_SAMPLE_S32LE, PA_SAMPLE_FLOAT32LE, PA_SAMPLE_FLOAT32LE,
};

// Room the server's buffer keeps beyond twice the target latency, as the other clocked
// outputs do: the playout lets the latency reach the target plus a packet and a period for a
// moment, and a burst may come on top.
constexpr std::uint64_t buffer_slack_ms = 100;

// How often a playback stream asks the server for its timing.
constexpr pa_usec_t timing_interval_us = 100'000;

// `samples` values of type From at `in` as values of type To at `out`; memcpy, because the
// buffers have no alignment.
template <typename From, typename To>
void recast(const std::uint8_t* in, std::size_t samples, std::uint8_t* out) {
    for (std::size_t i = 0; i < samples; ++i) {
        From value;
        std::memcpy(&value, in + i * sizeof(From), sizeof value);
        const auto converted = static_cast<To>(value);
        std::memcpy(out + i * sizeof(To), &converted, sizeof converted);
    }
}

// Samples of the stream's format to the server's (`to_server`), or back: only 8I (its sign
// bit flipped, either way) and 64F change. `in` null: a hole in a recording, which is silence.
void convert(std::uint32_t bit_fmt, const std::uint8_t* in, std::size_t samples, std::uint8_t* out,
             bool to_server) {
    if (in == nullptr) {
        std::memset(out, 0, samples * bit_fmt_size[bit_fmt]);
    } else if (bit_fmt == BIT_FMT_8I) {
        for (std::size_t i = 0; i < samples; ++i) {
            out[i] = in[i] ^ 0x80;
        }
    } else if (bit_fmt == BIT_FMT_64F) {
        to_server ? recast<double, float>(in, samples, out)
                  : recast<float, double>(in, samples, out);
    } else {
        std::memcpy(out, in, samples * bit_fmt_size[bit_fmt]);
    }
}

// Through a threaded main loop: libpulse runs its own thread, which dispatches the server's
// messages and the callbacks below with the loop's lock held; every call into libpulse from
// the caller's thread takes that lock (libpulse requires it), and waits for the server on
// the loop's condition, which the callbacks signal. The underflow callback reaches the
// playout through its lock-free underrun call.
class pulse_backend final : public audio_backend {
public:
    ~pulse_backend() override { close(); }

    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t buffer_size,
                      const stream_config* config) override;
    std::int32_t close() override;
    std::int32_t write(const void* data, std::uint64_t size) override;
    std::int32_t read(void* data, std::uint64_t size) override;

    void set_stream_name(const char* name) override {
        std::snprintf(stream_name_, sizeof stream_name_, "%s", name != nullptr ? name : "");
    }
    void set_target_latency(std::uint32_t ms) override { target_ms_ = ms; }
    bool keeps_time() const override { return stream_ != nullptr && playback_; }
    std::uint32_t device_rate() const override { return sample_rate_; }
    std::uint32_t period_frames() const override { return period_frames_; }
    std::int32_t device_fill() override;
    std::int32_t device_error() override;
    void attach_playout(playout* p) override { playout_.store(p, std::memory_order_release); }

private:
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool playback_ = false;
    std::uint32_t bit_fmt_ = 0;
    std::uint32_t nb_channels_ = 0;
    std::uint32_t sample_rate_ = 0;
    std::uint32_t period_frames_ = 0;  // playback: the server's minimum request
    std::uint32_t target_ms_ = 0;
    std::size_t vban_frame_ = 0;   // bytes of a frame of the stream's format
    std::size_t pulse_frame_ = 0;  // bytes of a frame as the server carries it
    pa_sample_spec sample_format_{};
    // Asks the server for the stream's timing now and then, on the loop's thread.
    pa_time_event* timer_ = nullptr;
    char stream_name_[VBAN_STREAM_NAME_SIZE + 1] = "";
    // The playout that feeds the stream; the loop's thread reports underflows to it.
    std::atomic<playout*> playout_{nullptr};
    // The fragment of the recording that reads have peeked and not used up yet.
    const std::uint8_t* fragment_ = nullptr;
    std::size_t fragment_size_ = 0;
    std::size_t fragment_used_ = 0;
    bool peeked_ = false;
    // Playback is held back (corked) until the target is queued. Used with the loop's lock
    // held, by the writes and by the underflow callback.
    bool corked_ = false;
    std::uint64_t held_frames_ = 0;   // written since the stream was held back
    std::uint64_t start_frames_ = 0;  // the target: once that much is queued, it plays
    timeval uncorked_at_{};           // when it was last let go

    std::int32_t connect_context(const char* name);
    std::int32_t connect_stream(const char* device, const pa_sample_spec& format, const char* name);
    bool wait_until_ready(const char* name);
    bool stream_good() const;
    std::int32_t gone(const char* name);
    std::uint32_t bytes_of_ms(std::uint64_t ms) const {
        return static_cast<std::uint32_t>(std::uint64_t{sample_rate_} * ms / 1000 * pulse_frame_);
    }

    // Called by libpulse on its loop's thread, with the lock held.
    static void on_state(pa_context*, void* self);
    static void on_stream_state(pa_stream*, void* self);
    static void on_readable(pa_stream*, std::size_t, void* self);
    static void on_timer(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self);
    static void on_underflow(pa_stream*, void* self);
    void cork(bool corked);
};

std::int32_t pulse_backend::open(const char* device, std::int32_t direction, std::uint64_t,
                                 const stream_config* config) {
    const char* name = "pulse_open";
    if (config == nullptr || bit_fmt_sample_size(config->bit_fmt) == 0) {
        logger_log(LOG_ERROR, "%s: invalid stream config", name);
        return -EINVAL;
    }
    close();
    const pa_sample_spec sample_format{
        pulse_formats[config->bit_fmt], config->sample_rate,
        static_cast<std::uint8_t>(std::min(config->nb_channels, 255u))};
    if (config->nb_channels > PA_CHANNELS_MAX || !pa_sample_spec_valid(&sample_format)) {
        logger_log(LOG_ERROR,
                   "%s: PulseAudio carries at most %u channels at %u Hz, not %u at %u Hz", name,
                   PA_CHANNELS_MAX, PA_RATE_MAX, config->nb_channels, config->sample_rate);
        return -EINVAL;
    }
    playback_ = direction == AUDIO_DIRECTION_OUT;
    bit_fmt_ = config->bit_fmt;
    nb_channels_ = config->nb_channels;
    sample_rate_ = config->sample_rate;
    vban_frame_ = bit_fmt_frame_size(bit_fmt_, nb_channels_);
    pulse_frame_ = pa_frame_size(&sample_format);
    sample_format_ = sample_format;

    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr || pa_threaded_mainloop_start(mainloop_) < 0) {
        logger_log(LOG_ERROR, "%s: could not start libpulse's main loop", name);
        close();
        return -ENOMEM;
    }
    pa_threaded_mainloop_lock(mainloop_);
    std::int32_t result = connect_context(name);
    if (result == 0) {
        result = connect_stream(device, sample_format, name);
    }
    pa_threaded_mainloop_unlock(mainloop_);
    if (result != 0) {
        close();
    }
    return result;
}

// With the lock held.
std::int32_t pulse_backend::connect_context(const char* name) {
    // The program's own name is the client's name, as a desktop mixer lists it.
    context_ =
        pa_context_new(pa_threaded_mainloop_get_api(mainloop_), program_invocation_short_name);
    if (context_ == nullptr) {
        logger_log(LOG_ERROR, "%s: could not make a PulseAudio context", name);
        return -ENOMEM;
    }
    pa_context_set_state_callback(context_, on_state, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0 ||
        !wait_until_ready(name)) {
        logger_log(LOG_ERROR, "%s: could not connect to the PulseAudio server: %s", name,
                   pa_strerror(pa_context_errno(context_)));
        return -ENODEV;
    }
    return 0;
}

// With the lock held.
std::int32_t pulse_backend::connect_stream(const char* device, const pa_sample_spec& format,
                                           const char* name) {
    pa_channel_map map;
    pa_channel_map_init_extend(&map, format.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_ =
        pa_stream_new(context_, stream_name_[0] != '\0' ? stream_name_ : "VBAN", &format, &map);
    if (stream_ == nullptr) {
        logger_log(LOG_ERROR, "%s: could not make a PulseAudio stream: %s", name,
                   pa_strerror(pa_context_errno(context_)));
        return -ENOMEM;
    }
    pa_stream_set_state_callback(stream_, on_stream_state, this);
    const char* target = device != nullptr && device[0] != '\0' ? device : nullptr;
    const auto flags = PA_STREAM_ADJUST_LATENCY;
    constexpr std::uint32_t server_default = static_cast<std::uint32_t>(-1);
    pa_buffer_attr attributes{server_default, server_default, server_default, server_default,
                              server_default};
    int connected;
    if (playback_) {
        // The stream starts held back (corked) and plays once the target is queued, as a sound
        // card with a start threshold does; an underflow holds it back again until then. The
        // server's own threshold (prebuf) would start it early: it keeps that below a buffer
        // length which it shortens as it sees fit.
        attributes.maxlength = bytes_of_ms(2 * std::uint64_t{target_ms_} + buffer_slack_ms);
        attributes.tlength = bytes_of_ms(target_ms_);
        attributes.prebuf = 0;
        pa_stream_set_underflow_callback(stream_, on_underflow, this);
        corked_ = true;
        held_frames_ = 0;
        connected = pa_stream_connect_playback(
            stream_, target, &attributes,
            static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED), nullptr, nullptr);
    } else {
        // Fragments of one packet: each read of a packet finds it whole, as soon as it is.
        const std::size_t frames = std::min(VBAN_DATA_MAX_SIZE / vban_frame_, VBAN_SAMPLES_MAX_NB);
        attributes.fragsize =
            static_cast<std::uint32_t>(std::max<std::size_t>(frames, 1) * pulse_frame_);
        pa_stream_set_read_callback(stream_, on_readable, this);
        connected = pa_stream_connect_record(stream_, target, &attributes, flags);
    }
    if (connected < 0 || !wait_until_ready(name)) {
        logger_log(LOG_ERROR, "%s: could not %s %s: %s", name,
                   playback_ ? "play into the sink" : "record from the source",
                   target != nullptr ? target : "(the server's default)",
                   pa_strerror(pa_context_errno(context_)));
        return -ENODEV;
    }
    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_);
    if (playback_) {
        // The fill is reckoned from the last timing update, which libpulse's own schedule
        // leaves up to one and a half seconds old: a timer asks for one ten times a second.
        timer_ =
            pa_context_rttime_new(context_, pa_rtclock_now() + timing_interval_us, on_timer, this);
        // The server's minimum request serves as the period.
        period_frames_ =
            granted != nullptr ? static_cast<std::uint32_t>(granted->minreq / pulse_frame_) : 0;
        start_frames_ = std::max<std::uint64_t>(std::uint64_t{target_ms_} * sample_rate_ / 1000,
                                                period_frames_);
    }
    logger_log(LOG_INFO, "%s: %s %s, buffer of %u bytes, requests of %u, fragments of %u", name,
               playback_ ? "playing into" : "recording from", pa_stream_get_device_name(stream_),
               granted != nullptr ? granted->maxlength : 0,
               granted != nullptr ? granted->minreq : 0,
               granted != nullptr ? granted->fragsize : 0);
    return 0;
}

// With the lock held: waits until the context, and the stream once there is one, are ready;
// false when either has failed.
bool pulse_backend::wait_until_ready(const char* name) {
    logger_log(LOG_DEBUG, "%s: waiting for the server", name);
    for (;;) {
        const pa_context_state_t context = pa_context_get_state(context_);
        if (!PA_CONTEXT_IS_GOOD(context)) {
            return false;
        }
        if (stream_ == nullptr ? context == PA_CONTEXT_READY
                               : pa_stream_get_state(stream_) == PA_STREAM_READY) {
            return true;
        }
        if (stream_ != nullptr && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
            return false;
        }
        pa_threaded_mainloop_wait(mainloop_);
    }
}

// With the lock held.
bool pulse_backend::stream_good() const {
    return stream_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY &&
           pa_stream_get_state(stream_) == PA_STREAM_READY;
}

// With the lock held, which it gives up: the stream has ended under the caller (the server has
// gone, or has killed the stream); closes the backend.
std::int32_t pulse_backend::gone(const char* name) {
    logger_log(LOG_ERROR, "%s: the PulseAudio stream has ended: %s", name,
               pa_strerror(pa_context_errno(context_)));
    pa_threaded_mainloop_unlock(mainloop_);
    close();
    return -ENODEV;
}

std::int32_t pulse_backend::close() {
    playout_.store(nullptr, std::memory_order_release);
    if (mainloop_ == nullptr) {
        return 0;
    }
    pa_threaded_mainloop_lock(mainloop_);
    if (timer_ != nullptr) {
        pa_threaded_mainloop_get_api(mainloop_)->time_free(timer_);
        timer_ = nullptr;
    }
    if (stream_ != nullptr) {
        if (peeked_) {
            pa_stream_drop(stream_);
            peeked_ = false;
        }
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(mainloop_);
    // Ends the loop's thread: no callback runs after this.
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
    mainloop_ = nullptr;
    return 0;
}

std::int32_t pulse_backend::device_fill() {
    if (stream_ == nullptr) {
        return 0;
    }
    pa_threaded_mainloop_lock(mainloop_);
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
    // Held back (at the start, or after an underflow emptied it), the stream has what was
    // written since; let go, the sink lays it over what it had taken ahead, so that its first
    // frame plays at once.
    const pa_usec_t held = pa_bytes_to_usec(held_frames_ * pulse_frame_, &sample_format_);
    const pa_usec_t since_uncorked = pa_timeval_age(&uncorked_at_);
    // Whatever the stream holds, the sink's own latency comes on top: counted from the start,
    // so that the latency the stream starts at is the one it keeps once the sink reports.
    const pa_usec_t sink = timing != nullptr ? timing->sink_usec : 0;
    pa_usec_t usec = 0;
    if (corked_) {
        usec = held + sink;
    } else if (timing == nullptr || pa_timeval_age(&timing->timestamp) > since_uncorked) {
        // No timing update since the stream was let go.
        usec = (held > since_uncorked ? held - since_uncorked : 0) + sink;
    } else if (timing->write_index_corrupt == 0 && timing->read_index_corrupt == 0) {
        // As the last timing update saw it (the write index counts every write since, the
        // sink's latency what it has taken and not played), less what has played since then.
        const std::int64_t queued =
            std::max<std::int64_t>(timing->write_index - timing->read_index, 0);
        usec = pa_bytes_to_usec(static_cast<std::uint64_t>(queued), &sample_format_) +
               timing->sink_usec;
        const pa_usec_t age = pa_timeval_age(&timing->timestamp);
        usec = usec > age ? usec - age : 0;
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return static_cast<std::int32_t>(usec * sample_rate_ / 1'000'000);
}

std::int32_t pulse_backend::device_error() {
    if (mainloop_ == nullptr || !playback_) {
        return 0;
    }
    pa_threaded_mainloop_lock(mainloop_);
    if (!stream_good()) {
        return gone("pulse_write");
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return 0;
}

std::int32_t pulse_backend::write(const void* data, std::uint64_t size) {
    const char* name = "pulse_write";
    if (data == nullptr) {
        logger_log(LOG_ERROR, "%s: handle or data pointer is null", name);
        return -EINVAL;
    }
    if (mainloop_ == nullptr || !playback_) {
        logger_log(LOG_ERROR, "%s: device not open", name);
        return -ENODEV;
    }
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::uint64_t frames = size / vban_frame_;
    const std::uint64_t whole = frames;
    pa_threaded_mainloop_lock(mainloop_);
    if (!stream_good()) {
        return gone(name);
    }
    // Straight into the server's memory blocks: each round converts as many frames as the
    // block it is given holds (a packet fits in one).
    while (frames > 0) {
        void* block = nullptr;
        std::size_t bytes = frames * pulse_frame_;
        if (pa_stream_begin_write(stream_, &block, &bytes) < 0 || bytes < pulse_frame_) {
            return gone(name);
        }
        const std::uint64_t n = std::min<std::uint64_t>(frames, bytes / pulse_frame_);
        convert(bit_fmt_, in, n * nb_channels_, static_cast<std::uint8_t*>(block), true);
        if (pa_stream_write(stream_, block, n * pulse_frame_, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            return gone(name);
        }
        in += n * vban_frame_;
        frames -= n;
        held_frames_ += n;
    }
    // The stream plays once the playout starts it (it writes only then, all it kept back, the
    // oldest trimmed to the target); without a playout, once the target is queued, as a sound
    // card's start threshold does.
    const playout* feeder = playout_.load(std::memory_order_acquire);
    if (corked_ && (feeder != nullptr ? playout_get_state(feeder) == playout_state::playing
                                      : held_frames_ >= start_frames_)) {
        cork(false);
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return static_cast<std::int32_t>(whole * vban_frame_);
}

std::int32_t pulse_backend::read(void* data, std::uint64_t size) {
    const char* name = "pulse_read";
    if (data == nullptr) {
        logger_log(LOG_ERROR, "%s: handle or data pointer is null", name);
        return -EINVAL;
    }
    if (mainloop_ == nullptr || playback_) {
        logger_log(LOG_ERROR, "%s: device not open", name);
        return -ENODEV;
    }
    auto* out = static_cast<std::uint8_t*>(data);
    const std::uint64_t wanted = size / vban_frame_;
    std::uint64_t done = 0;
    pa_threaded_mainloop_lock(mainloop_);
    // Every round either takes frames or waits for the server's next message.
    while (done < wanted) {
        if (!stream_good()) {
            return gone(name);
        }
        if (!peeked_) {
            const void* fragment = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_readable_size(stream_) == 0 ||
                pa_stream_peek(stream_, &fragment, &bytes) < 0 || bytes == 0) {
                pa_threaded_mainloop_wait(mainloop_);
                continue;
            }
            fragment_ = static_cast<const std::uint8_t*>(fragment);
            fragment_size_ = bytes;
            fragment_used_ = 0;
            peeked_ = true;
        }
        const std::uint64_t n = std::min<std::uint64_t>(
            wanted - done, (fragment_size_ - fragment_used_) / pulse_frame_);
        convert(bit_fmt_, fragment_ != nullptr ? fragment_ + fragment_used_ : nullptr,
                n * nb_channels_, out + done * vban_frame_, false);
        fragment_used_ += n * pulse_frame_;
        done += n;
        if (fragment_size_ - fragment_used_ < pulse_frame_) {
            pa_stream_drop(stream_);
            peeked_ = false;
        }
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return static_cast<std::int32_t>(done * vban_frame_);
}

void pulse_backend::on_state(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<pulse_backend*>(self)->mainloop_, 0);
}

void pulse_backend::on_stream_state(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<pulse_backend*>(self)->mainloop_, 0);
}

void pulse_backend::on_timer(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self) {
    auto* backend = static_cast<pulse_backend*>(self);
    if (pa_operation* o = pa_stream_update_timing_info(backend->stream_, nullptr, nullptr)) {
        pa_operation_unref(o);
    }
    pa_context_rttime_restart(backend->context_, event, pa_rtclock_now() + timing_interval_us);
}

void pulse_backend::on_readable(pa_stream*, std::size_t, void* self) {
    pa_threaded_mainloop_signal(static_cast<pulse_backend*>(self)->mainloop_, 0);
}

void pulse_backend::on_underflow(pa_stream*, void* self) {
    auto* backend = static_cast<pulse_backend*>(self);
    if (playout* p = backend->playout_.load(std::memory_order_acquire)) {
        playout_note_underrun(p);
        backend->cork(true);
    }
}

// With the lock held. The server carries it out in its own time; nothing waits for it.
void pulse_backend::cork(bool corked) {
    if (pa_operation* o = pa_stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr)) {
        pa_operation_unref(o);
        corked_ = corked;
        if (corked) {
            held_frames_ = 0;  // an underflow leaves the stream empty
        } else {
            pa_gettimeofday(&uncorked_at_);
        }
    }
}

}  // namespace

std::int32_t pulse_backend_init(audio_backend** out) {
    return backend_create<pulse_backend>(out, "pulse_backend_init");
}
