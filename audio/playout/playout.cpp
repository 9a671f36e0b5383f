// SPDX-License-Identifier: MIT
#include "audio/playout/playout.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <new>

#include "audio/playout/clock_follower.hpp"
#include "audio/playout/frame_counter.hpp"
#include "audio/playout/reorder_hold.hpp"
#include "audio/playout/resampler.hpp"
#include "audio/playout/sample_convert.hpp"
#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {
struct resampler_deleter {
    void operator()(resampler* r) const { resampler_release(&r); }
};
}  // namespace

struct playout {
    playout_config config{};
    std::size_t frame_bytes = 0;
    double out_per_in = 1.0;  // output frames per stream frame
    frame_counter counter;
    reorder_hold hold;
    reorder_slot stray;  // the last stray packet, played if the next one confirms it
    clock_follower follower;
    std::unique_ptr<resampler, resampler_deleter> converter;  // null when bit-exact
    std::unique_ptr<float[]> in_float;                        // one packet, interleaved
    std::unique_ptr<float[]> out_float;                       // what one packet can become
    std::unique_ptr<std::uint8_t[]> out_bytes;
    std::size_t out_room = 0;  // frames of out_float and out_bytes
    std::array<std::uint8_t, VBAN_DATA_MAX_SIZE> zeros{};
    playout_stats stats;
    std::atomic<playout_state> state{playout_state::filling};  // the device's thread reads it
    std::uint32_t last_frames = 0;  // of the last packet: the length of a lost one
    bool in_backlog = false;        // an episode of drops is going on (logged once)
    // The lowest L after each call over the last quarter to half second, in two halves.
    std::int64_t window_start_ns = 0;
    double window_min = 0.0;
    double previous_window_min = 0.0;
    bool window_valid = false;
    double fill = 0.0;         // the device's fill plus what this call wrote, output frames
    double waited = 0.0;       // how long this call's packet waited before it came, output frames
    bool dropped_now = false;  // this call dropped audio: the episode goes on
    playout_sink sink{};
    std::int32_t sink_result = 0;  // the first failure of this call
};

namespace {

double held_output_frames(const playout* p) {
    return static_cast<double>(p->hold.held_frames) * p->out_per_in;
}

double total_latency(const playout* p) {
    return p->fill + held_output_frames(p);
}

// The most L may be for long: the target, one packet in flight and one device period being
// played.
double latency_bound(const playout* p) {
    return p->config.target_frames + p->last_frames * p->out_per_in + p->config.period_frames;
}

// The most L may be at any moment: the bound, plus as much again as the target allows for
// late packets, so that packets as early as that pass too.
double latency_cap(const playout* p) {
    return latency_bound(p) + p->config.target_frames;
}

// How long a window half lasts. L that stays over its bound for this long is a backlog;
// what stays over it for less is arrival jitter (or a sender that sends in bursts), which
// passes on its own.
constexpr std::int64_t window_half_ns = 250'000'000;

// The lowest L of the last quarter to half second, with `candidate` counted in.
double recent_low(const playout* p, double candidate) {
    return p->window_valid ? std::min({p->window_min, p->previous_window_min, candidate})
                           : candidate;
}

void note_latency(playout* p, double latency, std::int64_t now_ns) {
    if (!p->window_valid || now_ns - p->window_start_ns >= 2 * window_half_ns) {
        p->window_valid = true;
        p->window_start_ns = now_ns;
        p->window_min = latency;
        p->previous_window_min = latency;
    } else if (now_ns - p->window_start_ns >= window_half_ns) {
        p->window_start_ns = now_ns;
        p->previous_window_min = p->window_min;
        p->window_min = latency;
    } else {
        p->window_min = std::min(p->window_min, latency);
    }
}

void write_block(playout* p, const std::uint8_t* data, std::size_t bytes, std::uint32_t frames) {
    if (p->sink_result == 0 && frames > 0) {
        p->sink_result = p->sink.write(p->sink.context, {data, bytes}, frames);
    }
    p->fill += frames;
}

// Resamples `frames` frames of floats at in_float and writes what comes out.
void resample_and_write(playout* p, std::uint32_t frames) {
    const std::size_t channels = p->config.nb_channels;
    const std::size_t sample = bit_fmt_size[p->config.bit_fmt];
    std::size_t offset = 0;
    // The room is enough for one packet; the loop only guards against a filter that keeps
    // some input back.
    for (int round = 0; round < 4 && offset < frames; ++round) {
        std::size_t used = 0;
        const std::size_t made =
            resampler_process(p->converter.get(), p->in_float.get() + offset * channels,
                              frames - offset, &used, p->out_float.get(), p->out_room);
        offset += used;
        if (sample_convert_from_float(p->config.bit_fmt, p->out_float.get(), made * channels,
                                      p->out_bytes.get()) == 0) {
            write_block(p, p->out_bytes.get(), made * channels * sample,
                        static_cast<std::uint32_t>(made));
        }
    }
}

// Samples go through the resampler only when there is something to convert: a rate to change,
// or a clock to follow. An output that does not keep time gives the follower nothing, so its
// samples reach it untouched, as they came.
bool resampling(const playout* p) {
    return p->converter &&
           (p->follower.following || p->config.sample_rate != p->config.output_rate);
}

void play_packet(playout* p, const std::uint8_t* data, std::size_t bytes, std::uint32_t frames) {
    if (!resampling(p)) {
        write_block(p, data, bytes, frames);
        return;
    }
    if (sample_convert_to_float(p->config.bit_fmt, data,
                                std::size_t{frames} * p->config.nb_channels,
                                p->in_float.get()) == 0) {
        resample_and_write(p, frames);
    }
}

// Silence for `frames` stream frames, as far as the latency bound leaves room for it; zero
// bytes are silence in every format. Through the resampler when there is one, so that its
// filter runs on without a break.
void play_silence(playout* p, std::uint64_t frames) {
    const double room = (latency_bound(p) - total_latency(p)) / p->out_per_in;
    frames = std::min<std::uint64_t>(frames, room > 0 ? static_cast<std::uint64_t>(room) : 0);
    const std::size_t chunk =
        std::min<std::size_t>(p->zeros.size() / p->frame_bytes, VBAN_SAMPLES_MAX_NB);
    while (frames > 0) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, chunk));
        if (resampling(p)) {
            std::fill_n(p->in_float.get(), std::size_t{n} * p->config.nb_channels, 0.0f);
            resample_and_write(p, n);
        } else {
            write_block(p, p->zeros.data(), n * p->frame_bytes, n);
        }
        frames -= n;
    }
}

// Plays the held packets that are next in order.
void release_ready(playout* p) {
    while (const reorder_slot* slot = reorder_hold_find(&p->hold, p->counter.next)) {
        play_packet(p, slot->data.data(), slot->bytes, slot->frames);
        reorder_hold_remove(&p->hold, p->counter.next);
        frame_counter_advance(&p->counter, p->counter.next + 1);
    }
}

// The oldest held counter, or `none` when nothing is held.
std::uint32_t first_held(const playout* p, std::uint32_t none) {
    for (std::uint32_t i = 0; i < REORDER_HOLD_SLOTS; ++i) {
        if (reorder_hold_find(&p->hold, p->counter.next + i) != nullptr) {
            return p->counter.next + i;
        }
    }
    return none;
}

// Gives up the missing counters from `next` up to `upto` (not included): they play as
// silence of a neighbour's length, and what is held after them is released.
void give_up(playout* p, std::uint32_t upto) {
    const std::int32_t missing = frame_counter_distance(p->counter.next, upto);
    if (missing <= 0) {
        return;
    }
    play_silence(p, std::uint64_t{static_cast<std::uint32_t>(missing)} * p->last_frames);
    frame_counter_advance(&p->counter, upto);
    release_ready(p);
}

// A packet of `frames` was dropped: L is that much lower, and so is its recent low.
void note_backlog(playout* p, std::uint32_t frames) {
    p->window_min -= frames * p->out_per_in;
    p->previous_window_min -= frames * p->out_per_in;
    ++p->stats.dropped;
    p->dropped_now = true;
    if (!p->in_backlog) {
        p->in_backlog = true;
        logger_log(LOG_WARNING,
                   "playout: latency over its bound of %.1f ms; dropping the oldest audio",
                   latency_bound(p) * 1000.0 / p->config.output_rate);
    }
}

// True when L with `incoming` more frames would be too much: over its bound for the last
// quarter to half second, or over the cap now.
bool over(const playout* p, double incoming) {
    const double latency = total_latency(p) + incoming;
    return latency > latency_cap(p) || recent_low(p, latency) > latency_bound(p);
}

// Keeps L in its bounds with a packet of `frames` about to come in: the oldest held packets
// go first, then the incoming one. True when the incoming one may be kept.
bool make_room(playout* p, std::uint32_t counter, std::uint32_t frames) {
    const double incoming = frames * p->out_per_in;
    while (over(p, incoming) && p->hold.count > 0) {
        const std::uint32_t oldest = first_held(p, p->counter.next - 1);
        if (oldest == p->counter.next - 1) {
            reorder_hold_clear(&p->hold);  // unreachable: the hold keeps only counters ahead
            break;
        }
        const std::uint32_t dropped = reorder_hold_find(&p->hold, oldest)->frames;
        reorder_hold_remove(&p->hold, oldest);
        frame_counter_advance(&p->counter, oldest + 1);
        note_backlog(p, dropped);
        release_ready(p);
    }
    // A packet that waited in the socket's queue (the receiver stalled, or was busy opening
    // its output) is late by that much already: stale when the wait alone is more than the
    // target, or when, counted in, it would pass the cap. A wait of a period or less is the
    // receiver's own scheduling, which the bound's half second absorbs like arrival jitter.
    const bool stale = p->waited > p->config.target_frames ||
                       (p->waited > p->config.period_frames &&
                        total_latency(p) + incoming + p->waited > latency_cap(p));
    if (!over(p, incoming) && !stale) {
        return true;
    }
    frame_counter_advance(&p->counter, counter + 1);
    note_backlog(p, frames);
    return false;
}

void accept(playout* p, std::uint32_t counter, std::span<const std::uint8_t> payload,
            std::uint32_t frames) {
    p->last_frames = frames;
    // A full hold: the oldest gaps are given up until the packet has a slot. Their silence
    // comes before the room for the packet is made, so that the bound holds both.
    while (frame_counter_distance(p->counter.next, counter) >=
           static_cast<std::int32_t>(REORDER_HOLD_SLOTS)) {
        const std::uint32_t slot_limit = counter - REORDER_HOLD_SLOTS + 1;
        const std::uint32_t held = first_held(p, counter);
        give_up(p, frame_counter_distance(held, slot_limit) < 0 ? slot_limit : held);
    }
    if (!make_room(p, counter, frames)) {
        return;
    }
    reorder_hold_store(&p->hold, counter, payload, frames);
    release_ready(p);
}

// Gives up gaps while holding on would let the device run dry: by the next packet it plays
// one more packet's worth, and after that its fill must still cover one period (being
// played) and one packet (on its way). While the output fills up to its target nothing
// drains, so a gap is given up once the held packets would complete the target: waiting
// longer only holds back the start.
void avoid_starving(playout* p) {
    const double packet = p->last_frames * p->out_per_in;
    const double margin = p->config.period_frames + 2.0 * packet;
    while (p->hold.count > 0 && (playout_get_state(p) == playout_state::playing
                                     ? p->fill < margin
                                     : total_latency(p) >= p->config.target_frames)) {
        const std::uint32_t held = first_held(p, p->counter.next);
        if (held == p->counter.next) {
            reorder_hold_clear(&p->hold);  // unreachable: the hold keeps only counters ahead
            break;
        }
        give_up(p, held);
    }
}

// Releases everything the previous sender left in the hold, in its order.
void flush_previous(playout* p, std::uint32_t previous_next) {
    for (std::uint32_t i = 0; i < REORDER_HOLD_SLOTS && p->hold.count > 0; ++i) {
        if (const reorder_slot* slot = reorder_hold_find(&p->hold, previous_next + i)) {
            play_packet(p, slot->data.data(), slot->bytes, slot->frames);
            reorder_hold_remove(&p->hold, previous_next + i);
        }
    }
}

void keep_stray(playout* p, std::uint32_t counter, std::span<const std::uint8_t> payload,
                std::uint32_t frames) {
    p->stray.used = true;
    p->stray.counter = counter;
    p->stray.frames = frames;
    p->stray.bytes = static_cast<std::uint32_t>(payload.size());
    std::copy(payload.begin(), payload.end(), p->stray.data.begin());
}

void begin(playout* p, std::uint32_t device_fill, playout_sink sink) {
    p->fill = device_fill;
    p->waited = 0.0;
    p->dropped_now = false;
    p->sink = sink;
    p->sink_result = 0;
}

// One observation for the clock follower: L as this call leaves it, the quantity that the
// start threshold and the latency bound measure too. The correction applies from the next
// packet on.
void follow(playout* p, std::uint32_t device_fill, std::int64_t now_ns) {
    if (!p->converter) {
        return;
    }
    const bool was_following = p->follower.following;
    clock_follower_observe(&p->follower, total_latency(p), device_fill, now_ns,
                           playout_get_state(p) == playout_state::playing);
    resampler_set_ppm(p->converter.get(), clock_follower_ppm(&p->follower));
    if (was_following != p->follower.following) {
        logger_log(LOG_INFO, p->follower.following
                                 ? "playout: following the sender's clock"
                                 : "playout: the output does not keep time; not following");
    }
}

std::int32_t end(playout* p, std::uint32_t device_fill, std::int64_t now_ns) {
    avoid_starving(p);
    follow(p, device_fill, now_ns);
    const double latency = total_latency(p);
    note_latency(p, latency, now_ns);
    // Only from filling: an underrun the device's thread reports meanwhile wins.
    auto filling = playout_state::filling;
    if (p->fill >= p->config.target_frames) {
        p->state.compare_exchange_strong(filling, playout_state::playing,
                                         std::memory_order_relaxed);
    }
    if (p->in_backlog && !p->dropped_now && latency <= p->config.target_frames) {
        p->in_backlog = false;
    }
    playout_stats& s = p->stats;
    frame_counter_report(&p->counter, &s);
    s.latency_ms = latency * 1000.0 / p->config.output_rate;
    s.ratio_ppm = clock_follower_ppm(&p->follower);
    s.following = p->converter && p->follower.following;
    return p->sink_result;
}

}  // namespace

std::int32_t playout_init(playout** out, const playout_config* config) {
    if (out == nullptr) {
        return -EINVAL;
    }
    *out = nullptr;
    if (config == nullptr || config->nb_channels == 0 ||
        config->nb_channels > VBAN_CHANNELS_MAX_NB || config->bit_fmt > BIT_FMT_64F ||
        config->sample_rate == 0 || config->output_rate == 0 ||
        (config->bit_exact && config->sample_rate != config->output_rate) ||
        bit_fmt_size[config->bit_fmt] * config->nb_channels > VBAN_DATA_MAX_SIZE) {
        return -EINVAL;
    }
    std::unique_ptr<playout> p(new (std::nothrow) playout);
    if (!p) {
        return -ENOMEM;
    }
    p->config = *config;
    p->frame_bytes = bit_fmt_size[config->bit_fmt] * config->nb_channels;  // a packet holds one
    p->out_per_in = static_cast<double>(config->output_rate) / config->sample_rate;
    const auto packet_frames = static_cast<std::uint32_t>(
        std::min(VBAN_DATA_MAX_SIZE / p->frame_bytes, VBAN_SAMPLES_MAX_NB) * p->out_per_in);
    // Below a period and a packet the output would starve between two packets.
    p->config.target_frames =
        std::max(config->target_frames, config->period_frames + std::max(packet_frames, 1u));
    p->last_frames = static_cast<std::uint32_t>(VBAN_SAMPLES_MAX_NB);
    p->stats.target_ms = p->config.target_frames * 1000.0 / config->output_rate;
    clock_follower_init(&p->follower, {static_cast<double>(config->output_rate),
                                       static_cast<double>(p->config.target_frames),
                                       static_cast<double>(config->period_frames)});
    if (!config->bit_exact) {
        resampler* r = nullptr;
        const std::int32_t result =
            resampler_init(&r, config->nb_channels, config->sample_rate, config->output_rate);
        if (result != 0) {
            return result;
        }
        p->converter.reset(r);
        p->out_room = resampler_max_output(r, VBAN_SAMPLES_MAX_NB);
        const std::size_t channels = config->nb_channels;
        p->in_float.reset(new (std::nothrow) float[VBAN_SAMPLES_MAX_NB * channels]);
        p->out_float.reset(new (std::nothrow) float[p->out_room * channels]);
        p->out_bytes.reset(new (std::nothrow) std::uint8_t[p->out_room * p->frame_bytes]);
        if (!p->in_float || !p->out_float || !p->out_bytes) {
            return -ENOMEM;
        }
    }
    *out = p.release();
    return 0;
}

void playout_release(playout** place) {
    if (place != nullptr) {
        delete *place;
        *place = nullptr;
    }
}

std::int32_t playout_push(playout* p, std::uint32_t counter, std::span<const std::uint8_t> payload,
                          std::uint32_t frames, std::uint32_t device_fill, std::int64_t now_ns,
                          playout_sink sink, std::uint32_t waited_frames) {
    if (p == nullptr || frames == 0 || frames > VBAN_SAMPLES_MAX_NB ||
        payload.size() > VBAN_DATA_MAX_SIZE || payload.size() != frames * p->frame_bytes) {
        return -EINVAL;
    }
    begin(p, device_fill, sink);
    p->waited = waited_frames;
    const std::uint32_t previous_next = p->counter.next;
    const std::uint64_t restarts = p->counter.restarts;
    switch (frame_counter_classify(&p->counter, counter, now_ns)) {
        case frame_class::duplicate:
        case frame_class::late:
            break;
        case frame_class::stray:
            keep_stray(p, counter, payload, frames);
            break;
        case frame_class::restart:
            logger_log(LOG_INFO,
                       p->counter.restarts != restarts
                           ? "playout: the sender started again (counter %u after %u)"
                           : "playout: the stream goes on from counter %u after an outage (%u "
                             "was next)",
                       p->counter.next, previous_next);
            flush_previous(p, previous_next);
            // The stray before this packet, which it confirmed, comes first.
            if (p->counter.next != counter && p->stray.used &&
                p->stray.counter == p->counter.next) {
                p->stray.used = false;
                accept(p, p->stray.counter, {p->stray.data.data(), p->stray.bytes},
                       p->stray.frames);
            }
            accept(p, counter, payload, frames);
            break;
        default:
            accept(p, counter, payload, frames);
            break;
    }
    return end(p, device_fill, now_ns);
}

std::int32_t playout_tick(playout* p, std::uint32_t device_fill, std::int64_t now_ns,
                          playout_sink sink) {
    if (p == nullptr) {
        return -EINVAL;
    }
    begin(p, device_fill, sink);
    return end(p, device_fill, now_ns);
}

playout_state playout_get_state(const playout* p) {
    return p->state.load(std::memory_order_relaxed);
}

void playout_note_underrun(playout* p) {
    p->stats.underruns.fetch_add(1, std::memory_order_relaxed);
    p->state.store(playout_state::filling, std::memory_order_relaxed);
}

const playout_stats* playout_get_stats(const playout* p) {
    return &p->stats;
}
