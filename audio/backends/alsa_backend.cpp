// SPDX-License-Identifier: MIT
#include "audio/backends/alsa_backend.hpp"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <limits>

#include "audio/backends/backend_create.hpp"
#include "audio/playout/playout.hpp"
#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

constexpr const char* default_device = "default";

// ALSA's sample format for each bit_fmt. Samples reach ALSA exactly as the stream carries
// them, so 24I is the packed 3-byte format: S24_LE would lay each sample in a 4-byte container
// and make ALSA read and write a third more than the buffers hold. 12I and 10I have no
// whole-byte sample; alsa_open refuses them before this table is consulted.
constexpr std::array<snd_pcm_format_t, BIT_FMT_COUNT> alsa_formats = {
    SND_PCM_FORMAT_S8,      SND_PCM_FORMAT_S16_LE,   SND_PCM_FORMAT_S24_3LE,
    SND_PCM_FORMAT_S32_LE,  SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_FLOAT64_LE,
    SND_PCM_FORMAT_UNKNOWN, SND_PCM_FORMAT_UNKNOWN,
};

// The frames of a transfer of `size` bytes: whole frames only, and never more than a signed
// 32-bit byte count can report.
snd_pcm_uframes_t frames_in(std::uint64_t size, std::size_t frame_size) {
    constexpr std::uint64_t largest = std::numeric_limits<std::int32_t>::max();
    return static_cast<snd_pcm_uframes_t>(std::min(size, largest) / frame_size);
}

// The one place that decides what a failed transfer means. snd_pcm_recover repairs three codes
// in place: -EPIPE (an underrun in playback, an overrun in capture: the device is prepared
// again), -ESTRPIPE (a suspended device: resumed, or prepared again) and -EINTR (a wait cut
// short by a signal: nothing to repair). Every other code is beyond repair and comes back
// unchanged. Returns 0 when the device is ready for the next transfer, otherwise the code the
// transfer must hand on.
std::int32_t recover_transfer(snd_pcm_t* pcm, snd_pcm_sframes_t error, const char* name,
                              const char* call) {
    const int code = static_cast<int>(error);
    // A wait cut short by a signal is how a receiver learns that it must stop: not a fault.
    if (code != -EINTR) {
        logger_log(LOG_ERROR, "%s: %s failed: %s", name, call, snd_strerror(code));
    }
    const int result = snd_pcm_recover(pcm, code, 0);
    if (result < 0) {
        logger_log(LOG_ERROR, "%s: snd_pcm_recover failed: %s", name, snd_strerror(result));
        return result;
    }
    return 0;
}

// Room the device buffer keeps beyond twice the target latency: the playout lets the latency
// reach the target plus a packet and a period for a moment, and a burst may come on top.
constexpr unsigned buffer_slack_us = 100000;
// The device's period for a target: short enough that the target is not held up by it (the
// playout raises a target below a period and a packet), long enough to be cheap.
constexpr unsigned shortest_period_us = 1000;
constexpr unsigned longest_period_us = 10000;

class alsa_backend final : public audio_backend {
public:
    ~alsa_backend() override { close(); }

    std::int32_t open(const char* device, std::int32_t direction, std::uint64_t buffer_size,
                      const stream_config* config) override {
        const char* name = "alsa_open";
        if (config == nullptr) {
            logger_log(LOG_FATAL, "%s: null pointer argument", name);
            return -EINVAL;
        }
        close();  // the audio object closes first; this keeps a second open from leaking
        frame_size_ = bit_fmt_frame_size(config->bit_fmt, config->nb_channels);
        // Both are divisors below: the frames of the buffer and the latency.
        if (frame_size_ == 0) {
            logger_log(LOG_ERROR, "%s: invalid frame size 0 (%u channels of %s)", name,
                       config->nb_channels, bit_fmt_name(config->bit_fmt));
            return -EINVAL;
        }
        if (config->sample_rate == 0) {
            logger_log(LOG_ERROR, "%s: invalid sample rate 0", name);
            return -EINVAL;
        }

        const char* pcm_name = device != nullptr && device[0] != '\0' ? device : default_device;
        const snd_pcm_stream_t stream =
            direction == AUDIO_DIRECTION_OUT ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
        int result = snd_pcm_open(&pcm_, pcm_name, stream, 0);
        if (result < 0) {
            logger_log(LOG_FATAL, "%s: open error: %s: %s", name, pcm_name, snd_strerror(result));
            pcm_ = nullptr;
            return result;
        }
        const std::uint32_t latency =
            alsa_latency_us(buffer_size, frame_size_, config->sample_rate);
        logger_log(LOG_DEBUG, "%s: snd_pcm_open", name);

        // Resampling is allowed so that a device that cannot run at the stream's rate still
        // plays or captures it.
        if (direction == AUDIO_DIRECTION_OUT && target_ms_ != 0) {
            result = set_playback_params(*config);
        } else {
            result = snd_pcm_set_params(pcm_, alsa_formats[config->bit_fmt],
                                        SND_PCM_ACCESS_RW_INTERLEAVED, config->nb_channels,
                                        config->sample_rate, 1, latency);
        }
        if (result < 0) {
            logger_log(LOG_ERROR, "%s: set_params error: %s", name, snd_strerror(result));
        } else if ((result = snd_pcm_prepare(pcm_)) < 0) {
            logger_log(LOG_ERROR, "%s: prepare error: %s", name, snd_strerror(result));
        }
        if (result < 0) {
            snd_pcm_close(pcm_);
            pcm_ = nullptr;
            return result;
        }
        playback_ = direction == AUDIO_DIRECTION_OUT;
        sample_rate_ = config->sample_rate;
        return 0;
    }

    void set_target_latency(std::uint32_t ms) override { target_ms_ = ms; }
    bool keeps_time() const override { return pcm_ != nullptr && playback_; }
    std::uint32_t device_rate() const override { return sample_rate_; }
    std::uint32_t period_frames() const override { return period_frames_; }
    void attach_playout(playout* p) override { playout_ = p; }

    // Frames written and not played yet: what the device's delay counts (0 after an xrun,
    // which the next write repairs), or what its buffer holds where the delay falls short of
    // that by more than two periods. A sound server's plugin may take writes that its server
    // has not begun to play and tell meanwhile the delay of a stream that plays: ALSA's pulse
    // plugin, as its stream starts, told 250 frames while it held 6,000 for over a second,
    // and then held the receiver's write until its server began. Otherwise its buffer's count
    // lags its delay or leads it by up to 120 frames, as its server asks for more in chunks.
    std::int32_t device_fill() override {
        snd_pcm_sframes_t avail = 0;
        snd_pcm_sframes_t delay = 0;
        if (pcm_ == nullptr || snd_pcm_avail_delay(pcm_, &avail, &delay) < 0) {
            return 0;
        }
        const auto buffer = static_cast<snd_pcm_sframes_t>(buffer_frames_);
        const snd_pcm_sframes_t held = avail >= 0 && avail <= buffer ? buffer - avail : 0;
        const auto margin = 2 * static_cast<snd_pcm_sframes_t>(period_frames_);
        return static_cast<std::int32_t>(
            std::max<snd_pcm_sframes_t>(held - delay > margin ? held : delay, 0));
    }

    std::int32_t close() override {
        playout_ = nullptr;
        buffer_frames_ = 0;
        if (pcm_ == nullptr) {
            return 0;
        }
        const int result = snd_pcm_close(pcm_);
        pcm_ = nullptr;
        return result;
    }

    // A transfer needs a buffer and an open device: otherwise the negative result, logged.
    std::int32_t check_transfer(const void* data, const char* name) const {
        if (data == nullptr) {
            logger_log(LOG_ERROR, "%s: handle or data pointer is null", name);
            return -EINVAL;
        }
        if (pcm_ == nullptr) {
            logger_log(LOG_ERROR, "%s: device not open", name);
            return -ENODEV;
        }
        return 0;
    }

    std::int32_t write(const void* data, std::uint64_t size) override {
        const char* name = "alsa_write";
        if (const std::int32_t refused = check_transfer(data, name); refused < 0) {
            return refused;
        }
        const snd_pcm_uframes_t frames = frames_in(size, frame_size_);
        snd_pcm_sframes_t written = snd_pcm_writei(pcm_, data, frames);
        if (written < 0) {
            const std::int32_t failed = recover_transfer(pcm_, written, name, "snd_pcm_writei");
            // Without a playout the block is dropped and the next one plays. With one, the
            // playout fills the device up to its target again, starting with this block.
            if (failed < 0 || playout_ == nullptr) {
                return failed;
            }
            playout_note_underrun(playout_);
            written = snd_pcm_writei(pcm_, data, frames);
            if (written < 0) {
                return recover_transfer(pcm_, written, name, "snd_pcm_writei");
            }
        }
        if (written > 0 && static_cast<snd_pcm_uframes_t>(written) < frames) {
            logger_log(LOG_ERROR, "%s: short write (expected %lu, wrote %i)", name, frames,
                       static_cast<int>(written));
        }
        return static_cast<std::int32_t>(static_cast<std::size_t>(written) * frame_size_);
    }

    std::int32_t read(void* data, std::uint64_t size) override {
        const char* name = "alsa_read";
        if (const std::int32_t refused = check_transfer(data, name); refused < 0) {
            return refused;
        }
        const snd_pcm_uframes_t frames = frames_in(size, frame_size_);
        snd_pcm_sframes_t got = snd_pcm_readi(pcm_, data, frames);
        if (got < 0) {
            const std::int32_t failed = recover_transfer(pcm_, got, name, "snd_pcm_readi");
            if (failed < 0) {
                return failed;
            }
            // An overrun costs the frames the device could not keep, not the stream: read
            // again, because an empty block would tell the emitter that its input has ended.
            // A device that fails again at once is reported as it is (0 after a repair).
            got = snd_pcm_readi(pcm_, data, frames);
            if (got < 0) {
                return recover_transfer(pcm_, got, name, "snd_pcm_readi");
            }
        }
        if (got > 0 && static_cast<snd_pcm_uframes_t>(got) < frames) {
            logger_log(LOG_ERROR, "%s: short read (expected %lu, wrote %i)", name, frames,
                       static_cast<int>(got));
        }
        return static_cast<std::int32_t>(static_cast<std::size_t>(got) * frame_size_);
    }

    std::int32_t wait_input(int other_fd, int timeout_ms) override {
        if (pcm_ == nullptr || playback_) {
            return AUDIO_WAIT_INPUT;  // the read reports it
        }
        // A capture that has not started has nothing to wait for: the read would start it.
        if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED && snd_pcm_start(pcm_) < 0) {
            return AUDIO_WAIT_INPUT;
        }
        std::array<pollfd, 9> fds{};
        const int count = snd_pcm_poll_descriptors(pcm_, fds.data(), fds.size() - 1);
        // A device without descriptors to wait on is waited for by its read.
        if (count <= 0 || std::any_of(fds.begin(), fds.begin() + count,
                                      [](const pollfd& p) { return p.fd < 0; })) {
            return AUDIO_WAIT_INPUT;
        }
        fds[static_cast<std::size_t>(count)] = {other_fd, POLLIN, 0};
        unsigned short revents = 0;
        if (poll(fds.data(), static_cast<nfds_t>(count) + (other_fd >= 0 ? 1 : 0), timeout_ms) <
                0 ||
            snd_pcm_poll_descriptors_revents(pcm_, fds.data(), static_cast<unsigned>(count),
                                             &revents) < 0) {
            return AUDIO_WAIT_INPUT;
        }
        return (revents != 0 ? AUDIO_WAIT_INPUT : 0) |
               ((fds[static_cast<std::size_t>(count)].revents & POLLIN) != 0 ? AUDIO_WAIT_OTHER
                                                                             : 0);
    }

private:
    snd_pcm_t* pcm_ = nullptr;    // null while closed
    std::size_t frame_size_ = 0;  // bytes per frame of the stream last opened
    bool playback_ = false;
    std::uint32_t sample_rate_ = 0;
    std::uint32_t period_frames_ = 0;
    snd_pcm_uframes_t buffer_frames_ = 0;  // 0 without a playout: the fill is the delay
    std::uint32_t target_ms_ = 0;          // 0: the buffer size sets the latency
    playout* playout_ = nullptr;  // feeds this output; the main thread's, like every call here

    // Playback under a playout: a buffer with room for twice the target and more, periods
    // well below the target, and a start once nearly the target is queued. The playout writes
    // nothing while it fills up, and then all it holds at once, trimmed to the target with the
    // packets' lateness counted in (up to a packet of it): a start at the target itself would
    // leave that block a few frames short, not playing, until the next packet. A lone packet
    // written as the device runs dry does not start it again.
    int set_playback_params(const stream_config& config) {
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        unsigned buffer_us = 2 * target_ms_ * 1000 + buffer_slack_us;
        unsigned period_us =
            std::clamp(target_ms_ * 1000 / 4, shortest_period_us, longest_period_us);
        int result = snd_pcm_hw_params_any(pcm_, hw);
        if (result >= 0) {
            result = snd_pcm_hw_params_set_rate_resample(pcm_, hw, 1);
        }
        if (result >= 0) {
            result = snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
        }
        if (result >= 0) {
            result = snd_pcm_hw_params_set_format(pcm_, hw, alsa_formats[config.bit_fmt]);
        }
        if (result >= 0) {
            result = snd_pcm_hw_params_set_channels(pcm_, hw, config.nb_channels);
        }
        if (result >= 0) {
            result = snd_pcm_hw_params_set_rate(pcm_, hw, config.sample_rate, 0);
        }
        if (result >= 0) {
            result = snd_pcm_hw_params_set_buffer_time_near(pcm_, hw, &buffer_us, nullptr);
        }
        if (result >= 0) {
            result = snd_pcm_hw_params_set_period_time_near(pcm_, hw, &period_us, nullptr);
        }
        if (result >= 0) {
            result = snd_pcm_hw_params(pcm_, hw);
        }
        snd_pcm_uframes_t buffer = 0;
        snd_pcm_uframes_t period = 0;
        if (result >= 0) {
            result = snd_pcm_get_params(pcm_, &buffer, &period);
        }
        if (result < 0) {
            return result;
        }
        period_frames_ = static_cast<std::uint32_t>(period);
        buffer_frames_ = buffer;
        const snd_pcm_uframes_t target = std::min<snd_pcm_uframes_t>(
            std::uint64_t{target_ms_} * config.sample_rate / 1000, buffer);
        const snd_pcm_uframes_t start = target > period + VBAN_SAMPLES_MAX_NB
                                            ? target - VBAN_SAMPLES_MAX_NB
                                            : std::max(target, period);
        snd_pcm_sw_params_t* sw = nullptr;
        snd_pcm_sw_params_alloca(&sw);
        result = snd_pcm_sw_params_current(pcm_, sw);
        if (result >= 0) {
            result = snd_pcm_sw_params_set_start_threshold(pcm_, sw, start);
        }
        if (result >= 0) {
            result = snd_pcm_sw_params_set_avail_min(pcm_, sw, period);
        }
        if (result >= 0) {
            result = snd_pcm_sw_params(pcm_, sw);
        }
        return result;
    }
};

// libasound's own lines ("Unknown PCM hw:9") go through the logger like every other line:
// with a level and a name, and quiet while the receiver asks a refusing device again. They
// detail what this backend reports at its own level (with a handler set, libasound also
// hands over its debugging remarks), so they are warnings.
void alsa_library_error(const char*, int, const char* function, int error, const char* format,
                        ...) {
    if (!logger_enabled(LOG_WARNING)) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logger_log(LOG_WARNING, "%s: %s: %s%s%s", "alsa_lib", function, text, error != 0 ? ": " : "",
               error != 0 ? snd_strerror(error) : "");
}

}  // namespace

std::int32_t alsa_backend_init(audio_backend** out) {
    snd_lib_error_set_handler(alsa_library_error);
    return backend_create<alsa_backend>(out, "alsa_backend_init");
}

std::uint32_t alsa_latency_us(std::uint64_t buffer_size, std::uint64_t frame_size,
                              std::uint32_t sample_rate) {
    constexpr std::uint64_t microseconds = 1000000;
    constexpr std::uint64_t largest = std::numeric_limits<std::uint32_t>::max();
    const std::uint64_t frames = buffer_size / frame_size;
    // frames × 10^6 / rate, split at whole seconds so that no product can overflow.
    const std::uint64_t seconds = frames / sample_rate;
    if (seconds > largest / microseconds) {
        return static_cast<std::uint32_t>(largest);
    }
    const std::uint64_t latency =
        seconds * microseconds + frames % sample_rate * microseconds / sample_rate;
    return static_cast<std::uint32_t>(std::min(latency, largest));
}
