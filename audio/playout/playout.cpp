// SPDX-License-Identifier: MIT
#include "audio/playout/playout.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "audio/playout/clock_estimate.hpp"
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
    clock_estimate sender;
    // The output's own clock, from the frames it has taken (written less its fill) against the
    // local time: a sound card's crystal, or a server's timer, is off the local clock too.
    clock_estimate device;
    // The sender's clock against the output's own: each packet's place in the stream against
    // the frames the output had taken when it arrived. Measured against the local clock, each
    // of the two lines breaks wherever its server loses time, and a host that stops stops
    // both: against each other, what both lost cancels, and the follower needs nothing else.
    clock_estimate sender_on_device;
    bool on_device = false;       // `sender_on_device` has been as sure as the two lines; it rules
    double written = 0.0;         // frames given to the device, and the silence it played for them
    bool device_running = false;  // playing since the device clock was last started afresh
    std::int64_t device_started_ns = 0;  // when it began to play
    // The stream position of the sender's packets, for `sender`: a counter's place is its
    // distance from `base_counter` in packets of `position_frames` frames.
    bool positioned = false;
    std::uint32_t base_counter = 0;
    double base_position = 0.0;
    std::uint32_t position_frames = 0;
    std::unique_ptr<resampler, resampler_deleter> converter;  // null when bit-exact
    std::unique_ptr<float[]> in_float;                        // one packet, interleaved
    std::unique_ptr<float[]> out_float;                       // what one packet can become
    std::unique_ptr<std::uint8_t[]> out_bytes;
    std::size_t out_room = 0;  // frames of out_float and out_bytes
    std::array<std::uint8_t, VBAN_DATA_MAX_SIZE> zeros{};
    // While the output fills up to its target, what is played waits here, so that the oldest
    // of it can be trimmed when the target is reached and the output starts at the target.
    std::unique_ptr<std::uint8_t[]> pending;
    std::size_t pending_room = 0;    // frames
    std::size_t pending_frames = 0;  // frames held
    playout_stats stats;
    std::atomic<playout_state> state{playout_state::filling};  // the device's thread reads it
    // Frames the device played as silence in place of audio that was late: as many of the
    // next frames written are skipped, as far as L stays at its target (the device's thread
    // adds, this one takes). Beyond `conceal_limit` the wait is an underrun.
    std::atomic<std::uint32_t> owed{0};
    std::uint32_t conceal_limit = 0;
    std::uint64_t concealed_seen = 0;  // the count of concealed cycles at the last follow
    std::uint32_t last_frames = 0;     // of the last packet: the length of a lost one
    // When a device that is given what it plays should be looked at if no packet comes first
    // (0: not now), for playout_tick to give it silence in place of audio that is late.
    std::int64_t look_at_ns = 0;
    // The silence such a device was given in place of late audio, written and counted: as
    // much is skipped when the audio comes, as `owed` is, but the device played on meanwhile.
    double silence_given = 0.0;
    // What the last look left the device (its fill with the silence it gave), and when; a look
    // since the last packet (`looked`) counts on it: a sound server's plugin may tell the same
    // fill at every look while it passes what it was given on to its server.
    bool looked = false;
    double looked_fill = 0.0;
    std::int64_t looked_ns = 0;
    bool in_backlog = false;  // an episode of drops is going on (logged once)
    // The device took some of what it was given since the output first started (written
    // then: `written_at_start`), first at `device_took_ns`. A sound server may take a second
    // or two to start its stream, and its first buffers in bursts: what is cut until it has
    // taken audio for `device_settling_ns` is part of starting, not a drop. A start again
    // after an underrun is playback's, as before.
    bool started = false;
    bool device_took = false;
    double written_at_start = 0.0;
    std::int64_t device_took_ns = 0;
    std::int64_t disturbed_until_ns = 0;  // L was moved on purpose: the hold looks away
    // L was raised with silence: the hold looks away, and L is not raised again, until then.
    // The device played on, so its clock's line goes on.
    std::int64_t raised_until_ns = 0;
    std::uint64_t underruns_told = 0;  // underruns reported in a warning line so far
    std::int64_t underrun_told_ns = 0;
    bool underrun_told = false;
    double lowest_fill = 0.0;    // the device's fill before a push, lowest in this window
    bool headroom_open = false;  // `lowest_fill` holds a value of this window
    // The lowest and highest L after each call over the last quarter to half second, in two
    // halves; the window has run since `window_from_ns`.
    std::int64_t window_start_ns = 0;
    std::int64_t window_from_ns = 0;
    double window_min = 0.0;
    double previous_window_min = 0.0;
    double window_max = 0.0;
    double previous_window_max = 0.0;
    bool window_valid = false;
    double fill = 0.0;      // the device's fill plus what this call wrote, output frames
    double waited = 0.0;    // how long this call's packet waited before it came, output frames
    double lateness = 0.0;  // how late it arrived against the sender's clock, output frames
    // The least lateness of the packets of the last quarter to half second (two halves), and
    // when the current half began: what every packet shares is no jitter.
    double lateness_floor = 0.0;
    double previous_lateness_floor = 0.0;
    std::int64_t lateness_window_ns = 0;
    std::int64_t now_ns = 0;   // this call's time
    bool dropped_now = false;  // this call dropped audio: the episode goes on
    double to_trim = 0.0;      // of a backlog, what is still to drop from the next packets
    playout_sink sink{};
    std::int32_t sink_result = 0;  // the first failure of this call
};

namespace {

double held_output_frames(const playout* p) {
    return static_cast<double>(p->hold.held_frames) * p->out_per_in;
}

// L: what the device holds, what waits to start it, and what is held for order.
double total_latency(const playout* p) {
    return p->fill + static_cast<double>(p->pending_frames) + held_output_frames(p);
}

// L as it was when this call's packet arrived: the device has played on while the packet
// waited in the socket's queue. This is the latency its audio meets, and it does not move
// with the receiver's own delays in taking packets in.
double arrival_latency(const playout* p) {
    return total_latency(p) + p->waited;
}

// L as it would have been had this call's packet come on time (the earliest, as the
// sender's clock line says): without the network's jitter, this is what the follower holds
// at the target and what trimming aims at, so neither chases one packet's delay.
double steady_latency(const playout* p) {
    return arrival_latency(p) + p->lateness;
}

// The most L may be for long: the target, one packet in flight and one device period being
// played.
double latency_bound(const playout* p) {
    return p->config.target_frames + p->last_frames * p->out_per_in + p->config.period_frames;
}

// The L that is held and bounded: while the clock is followed, the steady one, which the
// follower holds at the target; without the follower (bit-exact), L as it is, which drifts
// with the clocks and is cut back by the packet.
double held_latency(const playout* p) {
    return p->follower.following ? steady_latency(p) : arrival_latency(p);
}

// The most the lowest held L of the last quarter to half second may be. While the clock is
// followed, 2 ms over the target: what is less the follower takes back by a pitch change too
// small to hear, what is more (a stall of the device, a burst) is cut. Without the follower,
// the bound above.
double sustained_bound(const playout* p) {
    return p->follower.following ? p->config.target_frames + 2e-3 * p->config.output_rate
                                 : latency_bound(p);
}

// The most L may be at any moment. While the clock is followed, the bound: a packet and a
// period over the target is far more than arrival jitter makes, and a burst after a stall is
// cut at once. Without the follower the bound plus as much again as the target allows for
// late packets, so that packets as early as that pass too.
double latency_cap(const playout* p) {
    return latency_bound(p) + (p->follower.following ? 0.0 : p->config.target_frames);
}

// How long a window half lasts. L that stays over its bound for this long is a backlog;
// what stays over it for less is arrival jitter (or a sender that sends in bursts), which
// passes on its own.
constexpr std::int64_t window_half_ns = 250'000'000;

// After L was moved on purpose (trimmed, or refilled), the clock follower's hold waits this
// long before it judges L again, so that a stall does not read as drift.
constexpr std::int64_t settling_ns = 1'000'000'000;

// How long a device plays before its clock is measured.
constexpr std::int64_t device_settling_ns = 1'000'000'000;

// Underrun warnings: one line a second at most.
constexpr std::int64_t underrun_line_ns = 1'000'000'000;

// A device that is given what it plays runs dry if its packets are late: the receiver looks
// at it when its fill falls to a period and a millisecond (its position may move a period at
// a time, and the receiver may wake a little late), and then gives it silence a millisecond
// at a time. As little as that: a packet that comes just after loses as much of its start.
double look_mark(const playout* p) {
    return p->config.period_frames + 1e-3 * p->config.output_rate;
}
constexpr double conceal_step_s = 1e-3;
constexpr std::int64_t least_look_ns = 500'000;

// The lowest L of the last quarter to half second, with `candidate` counted in.
double recent_low(const playout* p, double candidate) {
    return p->window_valid ? std::min({p->window_min, p->previous_window_min, candidate})
                           : candidate;
}

// The highest L of the last quarter to half second, with `candidate` counted in, once the
// window has run for a half; before, none (so no L stays low).
double recent_high(const playout* p, double candidate) {
    return p->window_valid && p->now_ns - p->window_from_ns >= window_half_ns
               ? std::max({p->window_max, p->previous_window_max, candidate})
               : std::numeric_limits<double>::infinity();
}

void note_latency(playout* p, double latency, std::int64_t now_ns) {
    if (!p->window_valid || now_ns - p->window_start_ns >= 2 * window_half_ns) {
        p->window_valid = true;
        p->window_start_ns = now_ns;
        p->window_from_ns = now_ns;
        p->window_min = latency;
        p->previous_window_min = latency;
        p->window_max = latency;
        p->previous_window_max = latency;
    } else if (now_ns - p->window_start_ns >= window_half_ns) {
        p->window_start_ns = now_ns;
        p->previous_window_min = p->window_min;
        p->window_min = latency;
        p->previous_window_max = p->window_max;
        p->window_max = latency;
    } else {
        p->window_min = std::min(p->window_min, latency);
        p->window_max = std::max(p->window_max, latency);
    }
}

bool filling(const playout* p) {
    return p->state.load(std::memory_order_relaxed) == playout_state::filling;
}

// Drops the oldest `frames` of what waits for the start.
void trim_pending(playout* p, std::size_t frames) {
    frames = std::min(frames, p->pending_frames);
    if (frames == 0) {
        return;
    }
    std::memmove(p->pending.get(), p->pending.get() + frames * p->frame_bytes,
                 (p->pending_frames - frames) * p->frame_bytes);
    p->pending_frames -= frames;
    p->stats.trimmed_ms += static_cast<double>(frames) * 1000.0 / p->config.output_rate;
}

// Gives the device `frames` frames of silence (zero bytes in every format) ahead of what comes.
void refill(playout* p, double frames) {
    const std::size_t chunk = p->zeros.size() / p->frame_bytes;
    auto left = static_cast<std::size_t>(std::max(0.0, frames));
    while (left > 0 && p->sink_result == 0) {
        const std::size_t n = std::min(left, chunk);
        p->sink_result = p->sink.write(p->sink.context, {p->zeros.data(), n * p->frame_bytes},
                                       static_cast<std::uint32_t>(n));
        p->fill += static_cast<double>(n);
        p->written += static_cast<double>(n);
        left -= n;
    }
}

// Sound that comes after the device waited for it was late, not lost (or, as silence, stands
// for what was lost): the device played silence in its place already. Of the `frames` output
// frames about to be written, returns how many go: as many as put L over the target, so that
// a hiccup of the sender or the network does not lengthen L. And where L ran low for want of
// audio rather than for audio still on its way (a late packet brings the ones sent after it
// close behind), the device starts again at the target, as it did at the start: more silence
// now, while it is silent anyway, instead of waiting again and again on a margin that is
// gone. The frames the device played while it waited count as given, whatever part of the
// audio they stood for goes (the measure of its clock would otherwise see a device that
// slowed down at every wait). A device that was given silence did not wait: its clock and L
// go on undisturbed.
double take_owed(playout* p, double frames) {
    const std::uint32_t waited = p->owed.exchange(0, std::memory_order_relaxed);
    const double owed = waited + std::exchange(p->silence_given, 0.0);
    if (owed == 0.0) {
        return 0.0;
    }
    // L with these frames in, as it would be had this call's packet come on time: what is
    // over the target by that measure is the device's wait, and the packets that follow keep
    // it there (measured as it stands, a packet's own delay would stay in L as a step).
    const double level = steady_latency(p) + frames;
    const double skip =
        std::clamp<double>(level - p->config.target_frames, 0.0, std::min<double>(owed, frames));
    refill(p, p->config.target_frames - level);
    if (waited != 0) {
        p->disturbed_until_ns = p->now_ns + settling_ns;
        p->written += waited;
    }
    return skip;
}

// Writes `frames` frames to the device, or while it fills up to its target, to what waits for
// the start.
void write_block(playout* p, const std::uint8_t* data, std::size_t bytes, std::uint32_t frames) {
    if (frames == 0) {
        return;
    }
    if (filling(p) && p->pending) {
        // What does not fit is older than the target: the oldest goes.
        if (p->pending_frames + frames > p->pending_room) {
            trim_pending(p, p->pending_frames + frames - p->pending_room);
        }
        const std::size_t keep = std::min<std::size_t>(frames, p->pending_room);
        std::memcpy(p->pending.get() + p->pending_frames * p->frame_bytes,
                    data + (frames - keep) * p->frame_bytes, keep * p->frame_bytes);
        p->pending_frames += keep;
        return;
    }
    const auto skip = static_cast<std::uint32_t>(take_owed(p, frames));
    if (skip == frames) {
        return;
    }
    data += skip * p->frame_bytes;
    bytes -= skip * p->frame_bytes;
    frames -= skip;
    if (p->sink_result == 0) {
        p->sink_result = p->sink.write(p->sink.context, {data, bytes}, frames);
    }
    p->fill += frames;
    p->written += frames;
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
    // Where the device waited for these packets, it played part of their silence already.
    // Taken here for the whole gap, not a block at a time, so that the blocks that follow the
    // first do not lengthen L again.
    if (!filling(p)) {
        frames -= static_cast<std::uint64_t>(take_owed(p, frames * p->out_per_in) / p->out_per_in);
    }
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

// `frames` of audio were dropped to bring L down: counted, logged once an episode, the
// recent lows lowered by as much (so the same excess is not dropped twice), and the follower's
// hold looks away for a while.
void note_backlog(playout* p, double frames) {
    ++p->stats.dropped;
    p->dropped_now = true;
    p->window_min -= frames;
    p->previous_window_min -= frames;
    p->disturbed_until_ns = p->now_ns + settling_ns;
    if (!p->in_backlog) {
        p->in_backlog = true;
        logger_log(LOG_WARNING,
                   "playout: latency over its bound of %.1f ms; dropping the oldest audio",
                   sustained_bound(p) * 1000.0 / p->config.output_rate);
    }
}

// The output fills up, or its device has not yet taken audio for a second since the output
// first started.
bool starting(const playout* p) {
    return filling(p) || !p->device_took || p->now_ns - p->device_took_ns < device_settling_ns;
}

// How much of L with `incoming` more frames is too much, once it would pass the cap now (a
// burst after a stall) or its lowest of the last quarter to half second is over the bound (a
// backlog that stays): everything over the target, so that L comes back to the target itself
// (only under the bound would leave the follower a debt of milliseconds to work off, and a
// follower that works it off changes the pitch). 0 when L may stay.
double excess_latency(const playout* p, double incoming) {
    const double held = held_latency(p) + incoming;
    if (arrival_latency(p) + incoming > latency_cap(p) ||
        recent_low(p, held) > sustained_bound(p)) {
        return std::max(0.0, held - p->config.target_frames);
    }
    return 0.0;
}

// Keeps L in its bounds with a packet of `frames` about to come in: the oldest held packets
// go first, then the incoming one, while the clock is followed only its oldest part that is
// too much. Returns how many of the incoming frames to skip: `frames` for the whole packet.
std::uint32_t make_room(playout* p, std::uint32_t counter, std::uint32_t frames) {
    const double incoming = frames * p->out_per_in;
    double excess = excess_latency(p, incoming);
    while (excess > 0.0 && p->hold.count > 0) {
        const std::uint32_t oldest = first_held(p, p->counter.next - 1);
        if (oldest == p->counter.next - 1) {
            reorder_hold_clear(&p->hold);  // unreachable: the hold keeps only counters ahead
            break;
        }
        const double dropped = reorder_hold_find(&p->hold, oldest)->frames * p->out_per_in;
        reorder_hold_remove(&p->hold, oldest);
        frame_counter_advance(&p->counter, oldest + 1);
        note_backlog(p, dropped);
        excess -= dropped;
        release_ready(p);
    }
    // A packet that waited in the socket's queue (the receiver stalled, or was busy opening
    // its output) is late by that much already: stale when the wait alone is more than the
    // target, or when, counted in, it would pass the cap. A wait of a period or less is the
    // receiver's own scheduling, which the bound's half second absorbs like arrival jitter.
    // Before the output starts, a packet is stale when the device's wait alone would take
    // its latency past the target.
    const bool stale =
        p->waited > p->config.target_frames ||
        (filling(p) && p->fill + p->waited >= p->config.target_frames) ||
        (p->waited > p->config.period_frames && arrival_latency(p) + incoming > latency_cap(p));
    // A backlog larger than a packet is dropped from the packets that follow too.
    p->to_trim = std::min(std::max(p->to_trim, excess),
                          steady_latency(p) + incoming - p->config.target_frames);
    if (!stale && p->to_trim <= 0.0) {
        p->to_trim = 0.0;
        return 0;
    }
    frame_counter_advance(&p->counter, counter + 1);
    if (starting(p)) {
        // While the output starts, what is too much or too old is part of starting at the
        // target.
        p->stats.trimmed_ms += incoming * 1000.0 / p->config.output_rate;
        if (!filling(p)) {
            p->to_trim = std::max(0.0, p->to_trim - incoming);
            p->disturbed_until_ns = p->now_ns + settling_ns;
        }
        return frames;
    }
    if (stale || p->to_trim >= incoming || !p->follower.following) {
        p->to_trim = std::max(0.0, p->to_trim - incoming);
        note_backlog(p, incoming);
        return frames;
    }
    const auto skip =
        std::min(frames, static_cast<std::uint32_t>(std::ceil(p->to_trim / p->out_per_in)));
    p->to_trim = 0.0;
    note_backlog(p, skip * p->out_per_in);
    return skip;
}

// A new sender, or one whose packets changed length: its places in the stream start afresh,
// against the local clock and against the output's.
void restart_sender_lines(playout* p) {
    clock_estimate_restart(&p->sender);
    clock_estimate_restart(&p->sender_on_device);
}

// Where the sender's packet `counter` of `frames` frames sits in its stream, for the
// measurement of its clock. A packet of another length starts the measurement afresh.
double sender_position(playout* p, std::uint32_t counter, std::uint32_t frames) {
    if (!p->positioned || frames != p->position_frames) {
        if (p->positioned) {
            restart_sender_lines(p);
        }
        p->positioned = true;
        p->position_frames = frames;
        p->base_counter = counter;
        p->base_position = 0.0;
    }
    std::int32_t distance = frame_counter_distance(p->base_counter, counter);
    // Far from the base, the base moves up, so that the distance never wraps.
    if (distance > (1 << 30)) {
        p->base_position += static_cast<double>(distance) * frames;
        p->base_counter = counter;
        distance = 0;
    }
    return p->base_position + static_cast<double>(distance) * frames;
}

// A packet's share of the network's jitter, from its lateness against the sender's line: less
// what the packets of the last quarter to half second were all late by, and a packet's length
// at most. What they all share is the sender's own time lost (a sender that stalled goes on
// behind its old line, and for the two seconds the line takes to follow every packet is that
// late): taken for jitter it would read as L that far over its target, and trim what the
// device needs.
double jitter_lateness(playout* p, double late, std::uint32_t frames) {
    if (p->now_ns - p->lateness_window_ns >= window_half_ns) {
        const bool stale = p->now_ns - p->lateness_window_ns >= 2 * window_half_ns;
        p->previous_lateness_floor = stale ? late : p->lateness_floor;
        p->lateness_floor = late;
        p->lateness_window_ns = p->now_ns;
    }
    p->lateness_floor = std::min(p->lateness_floor, late);
    const double shared = std::min(p->lateness_floor, p->previous_lateness_floor);
    return std::min(late - shared, frames * p->out_per_in);
}

// The output's count of frames when this call's packet arrived, as a time: what it has taken
// (what was written less its fill, which counts down smoothly between its periods) less what
// it took while the packet waited. Only while it plays on its own clock: not before its first
// second (a sound server takes its first buffers in bursts), nor while it waits for audio
// (the silence it plays meanwhile is counted when the wait is over); a pause of the output
// (it fills up to its target again) breaks the line.
// Returns how late the packet came against that line, in seconds, or a negative figure
// where there is none.
double observe_on_device(playout* p, double position) {
    if (!p->device_running || p->now_ns - p->device_started_ns < device_settling_ns ||
        p->owed.load(std::memory_order_relaxed) != 0) {
        clock_estimate_pause(&p->sender_on_device);
        return -1.0;
    }
    const double taken = p->written - p->fill - p->waited;
    const auto at_ns = static_cast<std::int64_t>(taken / p->config.output_rate * 1e9);
    clock_estimate_observe(&p->sender_on_device, position, at_ns);
    return p->sender_on_device.has_line
               ? clock_estimate_lateness(&p->sender_on_device, position, at_ns)
               : -1.0;
}

void accept(playout* p, std::uint32_t counter, std::span<const std::uint8_t> payload,
            std::uint32_t frames, std::int64_t arrival_ns) {
    const double position = sender_position(p, counter, frames);
    clock_estimate_observe(&p->sender, position, arrival_ns);
    const double late_on_device = observe_on_device(p, position);
    const double late = late_on_device >= 0.0
                            ? late_on_device
                            : clock_estimate_lateness(&p->sender, position, arrival_ns);
    p->lateness = jitter_lateness(p, late * p->config.output_rate, frames);
    p->last_frames = frames;
    // A full hold: the oldest gaps are given up until the packet has a slot. Their silence
    // comes before the room for the packet is made, so that the bound holds both.
    while (frame_counter_distance(p->counter.next, counter) >=
           static_cast<std::int32_t>(REORDER_HOLD_SLOTS)) {
        const std::uint32_t slot_limit = counter - REORDER_HOLD_SLOTS + 1;
        const std::uint32_t held = first_held(p, counter);
        give_up(p, frame_counter_distance(held, slot_limit) < 0 ? slot_limit : held);
    }
    const std::uint32_t skip = make_room(p, counter, frames);
    if (skip == frames) {
        p->waited = 0.0;  // nothing of it came in: L is what the device and the hold have
        p->lateness = 0.0;
        return;
    }
    if (skip > 0) {
        // The oldest part of the packet goes; the rest plays at once, in its place.
        play_packet(p, payload.data() + skip * p->frame_bytes, (frames - skip) * p->frame_bytes,
                    frames - skip);
        release_ready(p);
        return;
    }
    reorder_hold_store(&p->hold, counter, payload, frames);
    release_ready(p);
}

// Gives up gaps while holding on would let the device run dry: by the next packet it takes
// one more packet's worth, and after that its fill must still cover the packet on its way.
// While the output fills up to its target nothing drains, so a gap is given up once the held
// packets would complete the target: waiting longer only holds back the start.
void avoid_starving(playout* p) {
    const double margin = 2.0 * p->last_frames * p->out_per_in;
    while (p->hold.count > 0 &&
           (filling(p) ? total_latency(p) >= p->config.target_frames : p->fill < margin)) {
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

// Starts the output once L has reached the target: the oldest of what waits is trimmed so
// that L is the target itself, the rest goes to the device, and the device plays from its
// next period on (its fill counts the wait for that period). Where the clock is followed, L is
// the steady one, so that the packet that completes the target does not set the level with its
// own jitter; before anything is known of the device, with the packet's lateness counted at
// most a packet's length (that much is a network's jitter; a sender that sends faster than
// its clock, a file at full speed, makes lateness that means nothing).
double start_latency(const playout* p) {
    if (!p->converter || (p->follower.kept_time && !p->follower.following)) {
        return arrival_latency(p);
    }
    return arrival_latency(p) + std::min(p->lateness, p->last_frames * p->out_per_in);
}

void start_when_full(playout* p) {
    if (!filling(p) || start_latency(p) < p->config.target_frames) {
        return;
    }
    const double excess = start_latency(p) - p->config.target_frames;
    trim_pending(p, static_cast<std::size_t>(excess));
    // Only from filling: an underrun the device's thread reports meanwhile wins.
    auto expected = playout_state::filling;
    if (!p->state.compare_exchange_strong(expected, playout_state::playing,
                                          std::memory_order_relaxed)) {
        return;
    }
    const std::size_t frames = p->pending_frames;
    p->pending_frames = 0;
    p->silence_given = 0.0;  // what the device was given before it ran dry is paid for
    if (!p->started) {
        p->started = true;
        p->written_at_start = p->written;
    }
    write_block(p, p->pending.get(), frames * p->frame_bytes, static_cast<std::uint32_t>(frames));
    p->disturbed_until_ns = 0;
}

void keep_stray(playout* p, std::uint32_t counter, std::span<const std::uint8_t> payload,
                std::uint32_t frames) {
    p->stray.used = true;
    p->stray.counter = counter;
    p->stray.frames = frames;
    p->stray.bytes = static_cast<std::uint32_t>(payload.size());
    std::copy(payload.begin(), payload.end(), p->stray.data.begin());
}

// The headroom is what a playing output had left when a packet came.
void note_headroom(playout* p, std::int32_t device_fill) {
    if (!filling(p)) {
        p->lowest_fill =
            p->headroom_open ? std::min<double>(p->lowest_fill, device_fill) : device_fill;
        p->headroom_open = true;
    }
}

void begin(playout* p, std::int32_t device_fill, std::int64_t now_ns, playout_sink sink) {
    p->fill = device_fill;
    p->waited = 0.0;
    p->lateness = 0.0;
    p->now_ns = now_ns;
    p->dropped_now = false;
    p->sink = sink;
    p->sink_result = 0;
    if (p->started && !p->device_took && p->written - device_fill > p->written_at_start) {
        p->device_took = true;
        p->device_took_ns = now_ns;
    }
    // The device's clock is measured while it plays undisturbed. What it took before it
    // stopped to fill up again, before audio was trimmed, or before it waited for a packet says
    // nothing of what it takes after: its line starts afresh then, and the measurement made
    // so far is kept meanwhile. Its first second of playing each time is left out: a sound
    // server takes its first buffers in bursts while its own latency settles (PulseAudio's
    // rises by tens of milliseconds), which would set the line far off for half a minute.
    const bool disturbed = filling(p) || now_ns < p->disturbed_until_ns || p->in_backlog ||
                           p->owed.load(std::memory_order_relaxed) != 0;
    if (disturbed) {
        if (p->device_running) {
            clock_estimate_restart(&p->device);
        }
        if (filling(p) && p->sender_on_device.started) {
            clock_estimate_restart(&p->sender_on_device);
        }
        p->device_running = false;
        return;
    }
    if (!p->device_running) {
        p->device_running = true;
        p->device_started_ns = now_ns;
    }
    if (now_ns - p->device_started_ns >= device_settling_ns) {
        clock_estimate_observe(&p->device, p->written - device_fill, now_ns);
    }
}

// L is being moved on purpose (a backlog trimmed, L refilled or raised): the follower's hold
// looks away, and L is not raised.
bool moved_on_purpose(const playout* p) {
    return p->now_ns < p->disturbed_until_ns || p->now_ns < p->raised_until_ns || p->in_backlog;
}

// One observation for the clock follower: L as this call leaves it, the quantity that the
// start and the latency bound measure too. The correction applies from the next packet on.
void follow(playout* p, std::int32_t device_fill, std::int64_t now_ns) {
    if (!p->converter) {
        return;
    }
    const bool was_following = p->follower.following;
    // The correction resamples the sender's clock to the device's: measured against each
    // other once that line is as sure as the two against the local clock (which are known
    // first, from the first packet on), and from then on.
    const double device_ppm = p->device.valid ? p->device.ppm : 0.0;
    clock_follower_rate rate{
        p->sender.valid, p->sender.ppm - device_ppm,
        std::hypot(p->sender.uncertainty_ppm, p->device.valid ? p->device.uncertainty_ppm : 0.0)};
    const clock_estimate& direct = p->sender_on_device;
    p->on_device = p->on_device ||
                   (direct.valid && (!rate.valid || direct.uncertainty_ppm <= rate.uncertainty));
    if (p->on_device) {
        rate = {true, direct.ppm, direct.uncertainty_ppm};
    }
    // A device that waited for audio takes it at its own pace, however low its fill ran.
    const std::uint64_t concealed = p->stats.concealed.load(std::memory_order_relaxed);
    const double fill_seen = concealed != p->concealed_seen
                                 ? std::max<double>(device_fill, p->config.period_frames)
                                 : device_fill;
    p->concealed_seen = concealed;
    clock_follower_observe(&p->follower, steady_latency(p), fill_seen, now_ns, !filling(p),
                           moved_on_purpose(p), rate);
    resampler_set_ppm(p->converter.get(), clock_follower_ppm(&p->follower));
    if (was_following != p->follower.following) {
        logger_log(LOG_INFO, p->follower.following
                                 ? "playout: following the sender's clock"
                                 : "playout: the output does not keep time; not following");
    }
}

// A warning when the output ran dry, a line a second at most: how many times since the last.
void tell_underruns(playout* p, std::int64_t now_ns) {
    const std::uint64_t underruns = p->stats.underruns.load(std::memory_order_relaxed);
    if (underruns == p->underruns_told ||
        (p->underrun_told && now_ns - p->underrun_told_ns < underrun_line_ns)) {
        return;
    }
    logger_log(LOG_WARNING,
               "playout: the output ran dry (%llu times since the last report); filling up to "
               "%.1f ms again",
               static_cast<unsigned long long>(underruns - p->underruns_told), p->stats.target_ms);
    p->underruns_told = underruns;
    p->underrun_told_ns = now_ns;
    p->underrun_told = true;
}

// The least L may be for long while the clock is followed: 2 ms under the target, as the
// bound is over it. What is less the follower takes back by a pitch change too small to hear.
// What is more (a sound server that takes its first buffers in a burst that its delay does
// not count, a sender that lost time) would take it seconds at the most it may change the
// pitch by, and longer where the clocks leave it little of that (a sender 1000 ppm slow on a
// device 485 ppm fast leaves 515 ppm): silence brings L back to the target at once instead,
// as a backlog is cut at once.
double sustained_floor(const playout* p) {
    return p->config.target_frames - 2e-3 * p->config.output_rate;
}

// Raises L to the target with silence once its highest of the last quarter to half second
// (`latency` counted in) is under the floor: counted as concealed, the window raised by as
// much (so the same shortfall is not filled twice), and the follower's hold looks away for a
// while. Not while the output starts, nor while L is being moved on purpose.
void raise_low_latency(playout* p, double latency) {
    if (!p->follower.following || starting(p) || moved_on_purpose(p) ||
        recent_high(p, latency) >= sustained_floor(p)) {
        return;
    }
    const double frames = p->config.target_frames - latency;
    refill(p, frames);
    p->window_min += frames;
    p->previous_window_min += frames;
    p->window_max += frames;
    p->previous_window_max += frames;
    p->raised_until_ns = p->now_ns + settling_ns;
    p->stats.concealed.fetch_add(1, std::memory_order_relaxed);
    logger_log(LOG_INFO, "playout: latency %.1f ms under its target; raised with silence",
               frames * 1000.0 / p->config.output_rate);
}

// Whether a look may give the device silence: it plays, and its fill means that it may run
// dry. A fill of nothing is a device that ran dry, or one that keeps no time (ALSA's null
// plugin takes everything at once), unless it has shown that it keeps time: a sound server
// that takes its first buffers in a burst tells meanwhile a fill of nothing while it plays
// them.
bool may_conceal(const playout* p) {
    return !filling(p) && (p->fill > 0.0 || p->follower.kept_time);
}

// When to look at the device if no packet comes: as its fill falls to the mark. Not while it
// may not be given silence, nor once what it was given passed the limit (the stream has
// stopped: the device runs dry, and fills up again when the stream comes back).
void schedule_look(playout* p, std::int64_t now_ns) {
    if (!may_conceal(p) || p->silence_given >= p->conceal_limit) {
        p->look_at_ns = 0;
        return;
    }
    const double until_mark = (p->fill - look_mark(p)) / p->config.output_rate * 1e9;
    p->look_at_ns = now_ns + std::max(static_cast<std::int64_t>(until_mark), least_look_ns);
}

// A look at a device that is given what it plays, and no packet came: below the mark it gets
// silence, which stands in for the late audio as a pulling device's own silence does (as much
// is skipped when the audio comes, as far as L stays at its target).
void conceal(playout* p) {
    if (!may_conceal(p) || p->fill >= look_mark(p)) {
        return;
    }
    const double wanted = look_mark(p) + conceal_step_s * p->config.output_rate - p->fill;
    const auto frames = static_cast<std::uint32_t>(
        std::min(wanted, std::max(0.0, p->conceal_limit - p->silence_given)));
    if (frames == 0) {
        return;
    }
    refill(p, frames);
    p->silence_given += frames;
    p->stats.concealed.fetch_add(1, std::memory_order_relaxed);
}

// The end of a push, or of a look without a packet (`packet` false): L as a look finds it,
// while a packet is late, is no measure of the clocks, nor of what a packet meets.
std::int32_t end(playout* p, std::int32_t device_fill, std::int64_t now_ns, bool packet = true) {
    avoid_starving(p);
    start_when_full(p);
    if (packet) {
        follow(p, device_fill, now_ns);
        const double held = held_latency(p);
        note_latency(p, held, now_ns);
        raise_low_latency(p, held);
    }
    if (p->in_backlog && !p->dropped_now && p->to_trim <= 0.0) {
        p->in_backlog = false;
    }
    tell_underruns(p, now_ns);
    schedule_look(p, now_ns);
    playout_stats& s = p->stats;
    frame_counter_report(&p->counter, &s);
    const double to_ms = 1000.0 / p->config.output_rate;
    // Where the follower holds L, the held figure is its low-pass: what a packet on time waits,
    // without each packet's arrival jitter.
    s.latency_ms = (p->follower.primed ? p->follower.filtered : start_latency(p)) * to_ms;
    s.error_ms = p->follower.primed ? p->follower.error_frames * to_ms : 0.0;
    s.headroom_ms = p->lowest_fill * to_ms;
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
    clock_estimate_init(&p->sender, config->sample_rate);
    clock_estimate_init(&p->device, config->output_rate);
    clock_estimate_init(&p->sender_on_device, config->sample_rate);
    // A burst of lost packets is bridged (the silence heard is the audio lost, no more); a wait
    // of more than 50 ms, or the target if that is longer, is the stream stopping, and the
    // output fills up to its target again.
    p->conceal_limit =
        std::max({p->config.target_frames, 2 * config->period_frames, config->output_rate / 20});
    // The target, and room for what one call can write on top of it.
    p->pending_room = p->config.target_frames + 4 * (packet_frames + 1);
    p->pending.reset(new (std::nothrow) std::uint8_t[p->pending_room * p->frame_bytes]);
    if (!p->pending) {
        return -ENOMEM;
    }
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
                          std::uint32_t frames, std::int32_t device_fill, std::int64_t now_ns,
                          playout_sink sink, std::int64_t waited_ns) {
    if (p == nullptr || frames == 0 || frames > VBAN_SAMPLES_MAX_NB ||
        payload.size() > VBAN_DATA_MAX_SIZE || payload.size() != frames * p->frame_bytes) {
        return -EINVAL;
    }
    begin(p, device_fill, now_ns, sink);
    note_headroom(p, device_fill);
    p->looked = false;
    waited_ns = std::max<std::int64_t>(waited_ns, 0);
    p->waited = static_cast<double>(waited_ns) * 1e-9 * p->config.output_rate;
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
            p->positioned = false;
            restart_sender_lines(p);
            p->disturbed_until_ns = now_ns + settling_ns;
            // The stray before this packet, which it confirmed, comes first.
            if (p->counter.next != counter && p->stray.used &&
                p->stray.counter == p->counter.next) {
                p->stray.used = false;
                accept(p, p->stray.counter, {p->stray.data.data(), p->stray.bytes}, p->stray.frames,
                       now_ns - waited_ns);
            }
            accept(p, counter, payload, frames, now_ns - waited_ns);
            break;
        default:
            accept(p, counter, payload, frames, now_ns - waited_ns);
            break;
    }
    return end(p, device_fill, now_ns);
}

std::int32_t playout_tick(playout* p, std::int32_t device_fill, std::int64_t now_ns,
                          playout_sink sink) {
    if (p == nullptr) {
        return -EINVAL;
    }
    begin(p, device_fill, now_ns, sink);
    if (p->looked) {
        const double played =
            static_cast<double>(now_ns - p->looked_ns) * 1e-9 * p->config.output_rate;
        p->fill = std::max(p->fill, p->looked_fill - played);
    }
    avoid_starving(p);
    conceal(p);
    p->looked = true;
    p->looked_fill = p->fill;
    p->looked_ns = now_ns;
    return end(p, device_fill, now_ns, false);
}

std::int64_t playout_look_at_ns(const playout* p) {
    return p != nullptr ? p->look_at_ns : 0;
}

std::int32_t playout_flush(playout* p, playout_sink sink) {
    if (p == nullptr) {
        return -EINVAL;
    }
    p->sink = sink;
    p->sink_result = 0;
    if (p->pending_frames > 0) {
        const auto frames = static_cast<std::uint32_t>(p->pending_frames);
        p->pending_frames = 0;
        p->sink_result =
            p->sink.write(p->sink.context, {p->pending.get(), frames * p->frame_bytes}, frames);
    }
    return p->sink_result;
}

playout_state playout_get_state(const playout* p) {
    return p->state.load(std::memory_order_relaxed);
}

void playout_note_underrun(playout* p) {
    p->stats.underruns.fetch_add(1, std::memory_order_relaxed);
    p->state.store(playout_state::filling, std::memory_order_relaxed);
}

std::uint32_t playout_cycle(playout* p, std::uint32_t available, std::uint32_t period) {
    if (available >= period) {
        return period;
    }
    const std::uint32_t owed =
        p->owed.fetch_add(period - available, std::memory_order_relaxed) + period - available;
    if (owed > p->conceal_limit) {
        p->owed.store(0, std::memory_order_relaxed);
        playout_note_underrun(p);
    } else {
        p->stats.concealed.fetch_add(1, std::memory_order_relaxed);
    }
    return available;
}

std::uint32_t playout_missed(playout* p, std::uint32_t available, std::uint32_t missed) {
    if (missed == 0 || playout_get_state(p) != playout_state::playing) {
        return 0;
    }
    // When fewer frames are queued, the receiver was held up as well (a stalled process): the
    // packets due meanwhile come late and go as stale, and a short cycle conceals the rest.
    p->stats.concealed.fetch_add(1, std::memory_order_relaxed);
    return std::min(available, missed);
}

const playout_stats* playout_get_stats(const playout* p) {
    return &p->stats;
}

void playout_stats_window(playout* p) {
    p->headroom_open = false;
}
