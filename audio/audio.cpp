// SPDX-License-Identifier: MIT
#include "audio/audio.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "audio/backend_registry.hpp"
#include "audio/playout/frame_counter.hpp"
#include "audio/playout/playout.hpp"
#include "common/logger.hpp"
#include "common/stop_request.hpp"
#include "vban/vban.hpp"

namespace {

// What an output that only counts holds back, at most: a batch of packets, or a burst of them
// that the system coalesced.
constexpr std::size_t held_size = 128 * 1024;

}  // namespace

struct audio_handle {
    audio_config config;
    stream_config stream;  // as last set, without the map's adjustment
    map_config map;
    std::unique_ptr<audio_backend> backend;
    bool keeps_time = false;           // the backend's row: it plays at its own clock
    bool reads_what_is_ready = false;  // and its read does not wait for more than is there
    // An output that keeps its own time plays through this, made at every open; the others
    // only count the packets.
    playout* player = nullptr;
    frame_counter counter;
    playout_stats counted;
    std::uint64_t dropped = 0;  // packets whose configuration the output did not take
    // Allocated with the handle so that no transfer allocates.
    std::uint8_t buffer[AUDIO_MAP_BUFFER_SIZE];
    // The packets an output that only counts has not written yet (audio_flush): copied into
    // `held`, but for the first of a batch, which waits where the caller keeps it (`pending`)
    // and is copied only when another follows. A packet that comes alone, as most do at low
    // rates, is then written without touching the hold.
    std::uint8_t held[held_size];
    std::size_t held_bytes = 0;
    const std::uint8_t* pending = nullptr;
    std::size_t pending_bytes = 0;
};

namespace {

// The widest caller block whose arithmetic cannot overflow; far above anything real.
constexpr std::uint64_t largest_block = std::uint64_t{1} << 32;

// Both directions pick from the wide side: for every frame, position i of the narrow frame
// gets the sample of wide channel map[i]. Playback maps the stream (wide) onto the device,
// capture the device (wide) onto the stream. The sample size is a template argument so that
// each copy is a single move.
template <std::size_t SampleSize>
void map_frames(const std::uint8_t* wide, std::uint8_t* narrow, std::size_t frames,
                const map_config& map, std::size_t wide_channels) {
    const std::size_t wide_frame = wide_channels * SampleSize;
    const std::size_t narrow_frame = map.nb_channels * SampleSize;
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const std::uint8_t* source = wide + frame * wide_frame;
        std::uint8_t* target = narrow + frame * narrow_frame;
        for (std::size_t i = 0; i < map.nb_channels; ++i) {
            std::size_t channel = map.channels[i];
            // Channels the wide side lacks stay as the zeros the caller put there.
            if (channel < wide_channels) {
                std::memcpy(target + i * SampleSize, source + channel * SampleSize, SampleSize);
            }
        }
    }
}

void map_frames(std::size_t sample, const std::uint8_t* wide, std::uint8_t* narrow,
                std::size_t frames, const map_config& map, std::size_t wide_channels) {
    switch (sample) {
        case 1:
            return map_frames<1>(wide, narrow, frames, map, wide_channels);
        case 2:
            return map_frames<2>(wide, narrow, frames, map, wide_channels);
        case 3:
            return map_frames<3>(wide, narrow, frames, map, wide_channels);
        case 4:
            return map_frames<4>(wide, narrow, frames, map, wide_channels);
        case 8:
            return map_frames<8>(wide, narrow, frames, map, wide_channels);
        default:
            return;
    }
}

// The sizes of a mapped transfer, or a refusal: a frame of 0 bytes cannot be mapped, and no
// device-side block may be larger than the mapping buffer.
struct mapped_sizes {
    std::size_t sample;
    std::uint64_t wide_channels;  // K
    std::uint64_t wide_frame;     // W
};

bool mapped_sizes_for(const audio_handle& handle, std::uint64_t size, const char* name,
                      mapped_sizes* sizes) {
    sizes->sample = bit_fmt_sample_size(handle.stream.bit_fmt);
    sizes->wide_channels = handle.stream.nb_channels;
    sizes->wide_frame = sizes->wide_channels * sizes->sample;
    if (sizes->wide_frame == 0) {
        logger_log(LOG_ERROR, "%s: no whole-byte frame to map (%u channels of %s)", name,
                   handle.stream.nb_channels, bit_fmt_name(handle.stream.bit_fmt));
        return false;
    }
    if (size > largest_block) {
        logger_log(LOG_ERROR, "%s: block of %llu bytes is too large to map", name,
                   static_cast<unsigned long long>(size));
        return false;
    }
    return true;
}

bool fits_mapping_buffer(std::uint64_t device_block, const char* name) {
    if (device_block > AUDIO_MAP_BUFFER_SIZE) {
        logger_log(LOG_ERROR, "%s: device block of %llu bytes is larger than the mapping buffer",
                   name, static_cast<unsigned long long>(device_block));
        return false;
    }
    return true;
}

// A read that ends inside a frame (a pipe may deliver any number of bytes) is completed with
// further reads of the rest of that frame, so that one late byte does not end the stream.
// It stops at the end of the input or an error, leaving the partial frame for the caller.
std::int32_t complete_partial_frame(audio_backend& backend, std::uint8_t* data, std::int32_t got,
                                    std::uint64_t wanted, std::uint64_t frame) {
    while (got > 0 && frame != 0 && static_cast<std::uint64_t>(got) % frame != 0 &&
           static_cast<std::uint64_t>(got) < wanted) {
        std::uint64_t missing = frame - static_cast<std::uint64_t>(got) % frame;
        std::int32_t more = backend.read(data + got, missing);
        if (more <= 0) {
            break;
        }
        got += more;
    }
    return got;
}

// Hands `size` bytes of the stream's frames to the backend through the map; the caller's
// bytes taken, or the backend's negative code.
std::int32_t write_mapped(audio_handle& handle, const void* data, std::uint64_t size,
                          const char* name) {
    const std::uint64_t narrow_channels = handle.map.nb_channels;  // M
    if (narrow_channels == 0) {
        return handle.backend->write(data, size);
    }
    mapped_sizes sizes;
    if (!mapped_sizes_for(handle, size, name, &sizes)) {
        return -EINVAL;
    }
    const std::uint64_t count = size * narrow_channels / sizes.wide_channels;
    if (!fits_mapping_buffer(count, name)) {
        return -EINVAL;
    }
    std::memset(handle.buffer, 0, count);
    if (size >= sizes.wide_frame) {
        map_frames(sizes.sample, static_cast<const std::uint8_t*>(data), handle.buffer,
                   size / sizes.wide_frame, handle.map, sizes.wide_channels);
    }
    std::int32_t taken = handle.backend->write(handle.buffer, count);
    if (taken < 0) {
        return taken;
    }
    return static_cast<std::int32_t>(static_cast<std::uint64_t>(taken) * sizes.wide_channels /
                                     narrow_channels);
}

// The playout's sink: what it plays goes through the map to the output, in pieces that fit
// the mapping buffer (a resampled block may hold more frames than a packet). 0, or the
// output's negative code, which ends the packet's write.
std::int32_t write_played(void* context, std::span<const std::uint8_t> block,
                          std::uint32_t frames) {
    audio_handle& handle = *static_cast<audio_handle*>(context);
    const std::uint64_t frame = block.size() / frames;
    const std::uint64_t widest =
        std::max<std::uint64_t>(handle.map.nb_channels, handle.stream.nb_channels);
    const std::uint64_t device_frame = frame * widest / handle.stream.nb_channels;
    const std::uint64_t piece = std::max<std::uint64_t>(AUDIO_MAP_BUFFER_SIZE / device_frame, 1);
    for (std::uint64_t done = 0; done < frames; done += piece) {
        const std::uint64_t count = std::min<std::uint64_t>(piece, frames - done);
        const std::int32_t result =
            write_mapped(handle, block.data() + done * frame, count * frame, "audio_write_packet");
        if (result < 0) {
            return result;
        }
    }
    return 0;
}

// Makes the playout of an output that keeps its own time, for the stream just opened: the
// stream's channels (the map comes after it), the device's rate and period.
std::int32_t start_playout(audio_handle& handle) {
    handle.counter = frame_counter{};
    audio_backend& backend = *handle.backend;
    if (!backend.keeps_time()) {
        return 0;
    }
    const std::uint32_t rate = backend.device_rate();
    const playout_config settings{
        handle.stream.nb_channels,
        handle.stream.sample_rate,
        handle.stream.bit_fmt,
        rate,
        static_cast<std::uint32_t>(std::uint64_t{handle.config.target_ms} * rate / 1000),
        backend.period_frames(),
        handle.config.bit_exact};
    const std::int32_t result = playout_init(&handle.player, &settings);
    if (result == -EINVAL && handle.config.bit_exact && rate != handle.stream.sample_rate) {
        logger_log(LOG_ERROR,
                   "%s: a stream at %u Hz cannot play bit-exact on an output at %u Hz (without "
                   "--bit-exact it is converted)",
                   "audio_set_stream_config", handle.stream.sample_rate, rate);
    } else if (result != 0) {
        logger_log(LOG_ERROR, "%s: no playout for this stream", "audio_set_stream_config");
    }
    if (result == 0) {
        backend.attach_playout(handle.player);
    }
    return result;
}

// The held packets, in as many writes as the output needs to take them all. A write that a
// signal cut short ends it when the program is asked to stop: the rest could wait for ever
// for a reader of a full pipe.
std::int32_t write_held(audio_handle& handle) {
    const std::uint8_t* held = handle.pending != nullptr ? handle.pending : handle.held;
    const std::size_t size = handle.pending != nullptr ? handle.pending_bytes : handle.held_bytes;
    handle.pending = nullptr;
    handle.held_bytes = 0;
    std::size_t done = 0;
    while (done < size) {
        const std::int32_t written = handle.backend->write(held + done, size - done);
        if (written <= 0 ||
            (stop_request_made() && static_cast<std::size_t>(written) < size - done)) {
            return written < 0 ? written : -EINTR;
        }
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

// Before the output closes: what the playout kept back while it filled up goes out too, and
// so do the held packets.
void finish_playout(audio_handle& handle) {
    if (handle.player != nullptr) {
        (void)playout_flush(handle.player, {write_played, &handle});
    }
    (void)write_held(handle);
}

}  // namespace

std::int32_t audio_init(audio_handle** out, const audio_config* config) {
    const char* name = "audio_init";
    if (out == nullptr || config == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    *out = new (std::nothrow) audio_handle{};
    if (*out == nullptr) {
        logger_log(LOG_FATAL, "%s: could not allocate memory", name);
        return -ENOMEM;
    }
    audio_handle* handle = *out;
    handle->config = *config;
    handle->config.backend[sizeof handle->config.backend - 1] = '\0';
    handle->config.device[sizeof handle->config.device - 1] = '\0';
    handle->config.stream_name[sizeof handle->config.stream_name - 1] = '\0';
    logger_log(LOG_INFO,
               "%s: config is direction %s, backend %s, device %s, buffer size %d, latency %u "
               "ms%s",
               name, handle->config.direction == AUDIO_DIRECTION_IN ? "in" : "out",
               handle->config.backend, handle->config.device,
               static_cast<int>(handle->config.buffer_size), handle->config.target_ms,
               handle->config.bit_exact ? ", bit-exact" : "");

    audio_backend* backend = nullptr;
    if (audio_backend_get_by_name(handle->config.backend, &backend, handle->config.direction) !=
        0) {
        logger_log(LOG_FATAL, "%s: %s backend not available", name, handle->config.backend);
        delete handle;
        *out = nullptr;
        return -ENODEV;
    }
    handle->backend.reset(backend);
    const audio_backend_entry* row = audio_backend_find(handle->config.backend);
    handle->keeps_time = row->clocked;
    handle->reads_what_is_ready = row->reads_what_is_ready;
    handle->backend->set_stream_name(handle->config.stream_name);
    if (handle->config.direction != AUDIO_DIRECTION_IN) {
        handle->backend->set_target_latency(handle->config.target_ms);
    }
    return 0;
}

std::int32_t audio_release(audio_handle** place) {
    if (place == nullptr) {
        logger_log(LOG_FATAL, "%s: null handle pointer", "audio_release");
        return -EINVAL;
    }
    if (*place == nullptr) {
        return 0;
    }
    finish_playout(**place);
    std::int32_t result = (*place)->backend->close();
    playout_release(&(*place)->player);
    delete *place;  // destroys the backend record too
    *place = nullptr;
    return result;
}

std::int32_t audio_set_stream_config(audio_handle* handle, const stream_config* config) {
    const char* name = "audio_set_stream_config";
    if (handle == nullptr || config == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    if (*config == handle->stream) {
        return 0;
    }
    if (!handle->backend->accepts_change_now()) {
        return -EBUSY;
    }
    logger_log(LOG_INFO, "%s: new stream config is nb channels %d, sample rate %d, bit_fmt %s",
               name, static_cast<int>(config->nb_channels), static_cast<int>(config->sample_rate),
               bit_fmt_name(config->bit_fmt));

    finish_playout(*handle);
    std::int32_t result = handle->backend->close();
    // The output's own thread has stopped with the close: the playout can go.
    playout_release(&handle->player);
    if (result < 0) {
        logger_log(LOG_ERROR, "%s: could not close backend", name);
        return result;
    }
    handle->stream = *config;

    stream_config device = *config;
    if (handle->config.direction != AUDIO_DIRECTION_IN && handle->map.nb_channels != 0) {
        device.nb_channels = static_cast<std::uint32_t>(handle->map.nb_channels);
    }
    result = handle->backend->open(handle->config.device, handle->config.direction,
                                   handle->config.buffer_size, &device);
    if (result >= 0 && handle->config.direction != AUDIO_DIRECTION_IN) {
        const std::int32_t made = start_playout(*handle);
        result = made < 0 ? made : result;
    } else if (result >= 0 && handle->stream.sample_rate == 0) {
        handle->stream.sample_rate = handle->backend->device_rate();
    }
    if (result >= 0) {
        return result;
    }
    handle->backend->close();
    handle->stream = stream_config{};
    // An open cut short because the program is stopping (EINTR) is no failure of the output.
    if (result != -EINTR) {
        logger_log(LOG_ERROR, "%s: could not open backend with new config", name);
    }
    return result;
}

std::int32_t audio_get_stream_config(audio_handle* handle, stream_config* out) {
    if (handle == nullptr || out == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", "audio_get_stream_config");
        return -EINVAL;
    }
    *out = handle->stream;
    if (handle->config.direction == AUDIO_DIRECTION_IN && handle->map.nb_channels != 0) {
        out->nb_channels = static_cast<std::uint32_t>(handle->map.nb_channels);
    }
    return 0;
}

std::int32_t audio_set_map_config(audio_handle* handle, const map_config* map) {
    const char* name = "audio_set_map_config";
    if (handle == nullptr || map == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    if (map->nb_channels > sizeof map->channels) {
        logger_log(LOG_FATAL, "%s: map of %llu channels, at most %zu allowed", name,
                   static_cast<unsigned long long>(map->nb_channels), sizeof map->channels);
        return -EINVAL;
    }
    logger_log(LOG_INFO, "%s: new map config is nb channels %d", name,
               static_cast<int>(map->nb_channels));
    handle->map = *map;
    return 0;
}

std::int32_t audio_write(audio_handle* handle, const void* data, std::uint64_t size) {
    const char* name = "audio_write";
    logger_log(LOG_DEBUG, "%s invoked with size %d", name, static_cast<int>(size));
    if (handle == nullptr || data == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    return write_mapped(*handle, data, size, name);
}

std::int32_t audio_write_packet(audio_handle* handle, const void* data, std::uint64_t size,
                                std::uint32_t counter, std::int64_t now_ns,
                                std::int64_t waited_ns) {
    const char* name = "audio_write_packet";
    if (handle == nullptr || data == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    if (handle->player == nullptr) {
        // Written as it comes: a file or a pipe keeps the stream's bytes exactly as sent.
        (void)frame_counter_note(&handle->counter, counter, now_ns);
        if (handle->map.nb_channels != 0 || size > sizeof handle->held) {
            return write_mapped(*handle, data, size, name);
        }
        if (handle->pending == nullptr && handle->held_bytes == 0) {
            handle->pending = static_cast<const std::uint8_t*>(data);
            handle->pending_bytes = size;
            return static_cast<std::int32_t>(size);
        }
        if (handle->pending != nullptr) {
            std::memcpy(handle->held, handle->pending, handle->pending_bytes);
            handle->held_bytes = handle->pending_bytes;
            handle->pending = nullptr;
        }
        if (size > sizeof handle->held - handle->held_bytes) {
            const std::int32_t written = write_held(*handle);
            if (written < 0) {
                return written;
            }
        }
        std::memcpy(handle->held + handle->held_bytes, data, size);
        handle->held_bytes += size;
        return static_cast<std::int32_t>(size);
    }
    // While the playout fills up nothing is written: a server that went away shows here.
    if (playout_get_state(handle->player) == playout_state::filling) {
        if (const std::int32_t error = handle->backend->device_error(); error < 0) {
            return error;
        }
    }
    const std::uint64_t frame =
        bit_fmt_frame_size(handle->stream.bit_fmt, handle->stream.nb_channels);
    const std::uint64_t frames = frame != 0 ? size / frame : 0;
    const std::int32_t result = playout_push(
        handle->player, counter, {static_cast<const std::uint8_t*>(data), frames * frame},
        static_cast<std::uint32_t>(frames), handle->backend->device_fill(), now_ns,
        {write_played, handle}, waited_ns);
    return result < 0 ? result : static_cast<std::int32_t>(size);
}

std::int32_t audio_flush(audio_handle* handle) {
    return handle != nullptr ? write_held(*handle) : -EINVAL;
}

bool audio_keeps_time(const audio_handle* handle) {
    return handle != nullptr && handle->keeps_time;
}

std::int64_t audio_look_at_ns(const audio_handle* handle) {
    return handle != nullptr && handle->player != nullptr && !handle->backend->takes_from_playout()
               ? playout_look_at_ns(handle->player)
               : 0;
}

std::int32_t audio_look(audio_handle* handle, std::int64_t now_ns) {
    if (audio_look_at_ns(handle) == 0) {
        return 0;
    }
    return playout_tick(handle->player, handle->backend->device_fill(), now_ns,
                        {write_played, handle});
}

const playout_stats* audio_get_stats(audio_handle* handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    if (handle->player != nullptr) {
        const playout_stats* stats = playout_get_stats(handle->player);
        playout_stats_window(handle->player);
        return stats;
    }
    frame_counter_report(&handle->counter, &handle->counted);
    handle->counted.dropped = handle->dropped;
    return &handle->counted;
}

void audio_note_dropped(audio_handle* handle) {
    if (handle != nullptr) {
        ++handle->dropped;
    }
}

std::int32_t audio_read(audio_handle* handle, void* data, std::uint64_t size) {
    const char* name = "audio_read";
    logger_log(LOG_DEBUG, "%s invoked with size %d", name, static_cast<int>(size));
    if (handle == nullptr || data == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    audio_backend& backend = *handle->backend;
    const std::uint64_t narrow_channels = handle->map.nb_channels;  // M
    if (narrow_channels == 0) {
        std::uint64_t frame =
            bit_fmt_frame_size(handle->stream.bit_fmt, handle->stream.nb_channels);
        std::int32_t got = backend.read(data, size);
        if (got < 0) {
            logger_log(LOG_ERROR, "%s: backend read failed", name);
            return got;
        }
        return complete_partial_frame(backend, static_cast<std::uint8_t*>(data), got, size, frame);
    }

    mapped_sizes sizes;
    if (!mapped_sizes_for(*handle, size, name, &sizes)) {
        return -EINVAL;
    }
    // A read of many packets at once takes what the mapping buffer holds.
    const std::uint64_t most =
        AUDIO_MAP_BUFFER_SIZE / sizes.wide_frame * narrow_channels * sizes.sample;
    size = std::min(size, most);
    const std::uint64_t request = size * sizes.wide_channels / narrow_channels;
    if (!fits_mapping_buffer(request, name)) {
        return -EINVAL;
    }
    std::int32_t got = backend.read(handle->buffer, request);
    if (got < 0) {
        logger_log(LOG_ERROR, "%s: backend read failed", name);
        return got;
    }
    got = complete_partial_frame(backend, handle->buffer, got, request, sizes.wide_frame);
    const std::uint64_t delivered =
        static_cast<std::uint64_t>(got) * narrow_channels / sizes.wide_channels;
    std::memset(data, 0, delivered);
    if (static_cast<std::uint64_t>(got) >= sizes.wide_frame) {
        map_frames(sizes.sample, handle->buffer, static_cast<std::uint8_t*>(data),
                   static_cast<std::uint64_t>(got) / sizes.wide_frame, handle->map,
                   sizes.wide_channels);
    }
    return static_cast<std::int32_t>(delivered);
}

bool audio_reads_what_is_ready(const audio_handle* handle) {
    return handle != nullptr && handle->reads_what_is_ready;
}

std::int32_t audio_wait_input(audio_handle* handle, int other_fd, int timeout_ms) {
    if (handle == nullptr) {
        return AUDIO_WAIT_INPUT;  // the read reports it
    }
    return handle->backend->wait_input(other_fd, timeout_ms);
}
