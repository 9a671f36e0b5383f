// SPDX-License-Identifier: MIT
// dorvane: receives one peer's VBAN audio stream and plays it.

#include <arpa/inet.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "audio/audio.hpp"
#include "audio/backend_registry.hpp"
#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "programs/common/ping_answer.hpp"
#include "programs/dorvane/output_retry.hpp"
#include "programs/dorvane/receiver_report.hpp"
#include "programs/dorvane/receiver_signals.hpp"
#include "programs/dorvane/receptor_options.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

using clock = std::chrono::steady_clock;

// A receiver that hears nothing still wakes up this often, for its signals and reports, and
// at least as often as its statistics are due.
constexpr int receive_timeout_ms = 1000;

int receive_timeout_for(double stats_interval_s) {
    const int stats_ms = static_cast<int>(stats_interval_s * 1000);
    return stats_ms < receive_timeout_ms ? stats_ms : receive_timeout_ms;
}

std::int64_t nanoseconds(clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

// Opens the output again for a new stream configuration: 0 when it plays it. A configuration
// the output refuses is reported and its packets are dropped (a negative code), while the
// receiver goes on listening: one packet, even a forged one, cannot stop it. -EBUSY: the
// output holds back a change (a recording starts a new take once a second at most) and plays
// on what it played. What a change does is told at most once a second (the output's own lines
// of the reopen included): a sender that changes its stream at every packet must not flood
// the log.
std::int32_t output_takes(audio_handle* audio, const stream_config& stream, output_retry& retry,
                          receiver_report& report, clock::time_point now) {
    const output_attempt attempt = retry.next(stream, now);
    if (attempt == output_attempt::skip) {
        return -EAGAIN;
    }
    logger_mute(attempt == output_attempt::ask_again || !report.change_may_tell(now));
    const std::int32_t result = audio_set_stream_config(audio, &stream);
    logger_mute(false);
    if (result < 0) {
        retry.refused(stream, now);
        // A quiet retry that fails again tells nothing new, nor does an open cut short by
        // the signal that stops the receiver.
        if (attempt == output_attempt::ask && !receiver_stop_requested()) {
            report.changed(
                stream, result == -EBUSY ? stream_change::held_back : stream_change::refused, now);
        }
        return result;
    }
    (void)retry.accepted(stream);
    report.changed(stream, stream_change::taken, now);
    return 0;
}

// The statistics line: at the info level, or whatever the level when `always` (a user asked).
void report_stats(audio_handle* audio, bool always) {
    char line[256];
    if (playout_stats_format(audio_get_stats(audio), line, sizeof line) < 0) {
        return;
    }
    if (always) {
        logger_log_always(LOG_INFO, "%s: %s", "main", line);
    } else {
        logger_log(LOG_INFO, "%s: %s", "main", line);
    }
}

// A peer's packets of one stream differ only in their counter. Whether a datagram is a ping,
// a valid packet of the stream and which configuration it carries all follow from its length
// and the bytes before the counter, so a datagram whose length and bytes equal those of the
// last one played is played without being checked again.
struct played_header {
    std::array<std::uint8_t, VBAN_HEADER_SIZE - sizeof(std::uint32_t)> bytes{};
    std::size_t length = 0;  // 0: none, as after the output changed or refused a stream

    [[nodiscard]] bool matches(const std::uint8_t* data, std::size_t size) const {
        return length != 0 && size == length && std::memcmp(data, bytes.data(), bytes.size()) == 0;
    }
};

// What the receive loop keeps from one datagram to the next.
struct receiver_state {
    const char* streamname;
    socket_handle* socket;
    audio_handle* audio;
    ping_answer* pings;
    receiver_report* report;
    output_retry retry;
    stream_config playing;
    played_header last;  // of a packet of `playing`
};

// Plays the payload of a packet of the stream the output plays: 0, or the output's negative
// code that ends the receiver.
std::int32_t play(receiver_state& state, const socket_datagram& datagram, clock::time_point now) {
    const auto payload = static_cast<std::int32_t>(datagram.size - VBAN_HEADER_SIZE);
    const std::int64_t now_ns = nanoseconds(now);
    const std::int64_t waited_ns = datagram.arrived_ns != 0 ? now_ns - datagram.arrived_ns : 0;
    const std::int32_t written = audio_write_packet(
        state.audio, datagram.data + VBAN_HEADER_SIZE, static_cast<std::uint64_t>(payload),
        packet_get_counter(datagram.data), now_ns, waited_ns > 0 ? waited_ns : 0);
    // A write cut short by the signal that stops the receiver is the normal end.
    if (written != payload && !receiver_stop_requested()) {
        logger_log(LOG_WARNING, "%s: wrote %d bytes, expected %d bytes", "main", written, payload);
        return written < 0 ? written : 0;
    }
    return 0;
}

// Answers, reports or plays one datagram: 0 to go on, or the output's negative code that ends
// the receiver (a failed write, or an output that can never be opened again).
std::int32_t take_datagram(receiver_state& state, const socket_datagram& datagram,
                           clock::time_point now) {
    const std::uint8_t* bytes = datagram.data;
    const std::size_t length = datagram.size;
    // Every datagram is decoded into the log at the debug level, so none skips the checks there.
    if (state.last.matches(bytes, length) && socket_is_peer(state.socket, datagram.sender) &&
        !logger_enabled(LOG_DEBUG)) {
        return play(state, datagram, now);
    }
    if (ping_answer_handle(state.pings, state.socket, bytes, length, datagram.sender,
                           nanoseconds(now))) {
        return 0;
    }
    if (!socket_is_peer(state.socket, datagram.sender)) {
        state.report->from_stranger(bytes, length, datagram.sender, now);
        return 0;
    }
    if (logger_enabled(LOG_DEBUG)) {
        (void)packet_check(state.streamname, bytes, length);  // every datagram, decoded
    }
    const packet_fault fault = packet_find_fault(state.streamname, bytes, length);
    if (fault != packet_fault::none) {
        state.report->refused(fault, bytes, length, datagram.sender, now);
        return 0;
    }
    stream_config stream{};
    if (packet_get_stream_config(bytes, &stream) != 0) {
        return 0;
    }
    if (!(stream == state.playing)) {
        // A packet the output does not take is counted. Held back, the output still plays
        // the stream it played; refused, nothing until a packet that it takes.
        const std::int32_t taken =
            output_takes(state.audio, stream, state.retry, *state.report, now);
        if (taken == -EDEADLK) {
            // Nothing would play again: ending lets the service manager start the receiver
            // afresh, where dropping every packet from now on would fail in silence.
            logger_log(LOG_FATAL,
                       "%s: the output's library is stuck and no output can be opened again: "
                       "ending, for the receiver to be started afresh",
                       "main");
            return taken;
        }
        if (taken != 0) {
            audio_note_dropped(state.audio);
            if (taken != -EBUSY) {
                state.playing = stream_config{};
                state.last = played_header{};
            }
            return 0;
        }
        service_identity_set_sample_rate(&state.pings->identity, stream.sample_rate);
        state.playing = stream;
    }
    std::memcpy(state.last.bytes.data(), bytes, state.last.bytes.size());
    state.last.length = length;
    return play(state, datagram, now);
}

}  // namespace

int main(int argc, char* argv[]) {
    receptor_config config{};
    // A failed start-up step ends the program at once and leaves what earlier steps built to
    // the system; static storage keeps those objects reachable for leak checkers meanwhile.
    static socket_handle* socket = nullptr;
    static audio_handle* audio = nullptr;
    static ping_answer pings{};

    int result = get_options(&config, argc, argv);
    if (result == OPTIONS_VERSION_ASKED) {
        print_version();
        return 0;
    }
    if (result != 0) {
        return result;
    }
    // When the samples go to standard output, the banner would be heard as the stream's first
    // bytes, and so would every log line; the usage text, which stops the program, still
    // begins with the banner.
    const bool samples_on_standard_output = audio_goes_to_standard_output(config.audio);
    logger_set_standard_output(samples_on_standard_output);
    if (!samples_on_standard_output) {
        print_version();
    }
    if (!shared_resolve_peer(config.peer, &config.socket)) {
        return 1;
    }
    result = socket_init(&socket, &config.socket);
    if (result != 0) {
        return result;
    }
    result = audio_init(&audio, &config.audio);
    if (result != 0) {
        return result;
    }
    result = audio_set_map_config(audio, &config.map);
    if (result != 0) {
        return result;
    }
    // Arrival stamps tell an output that keeps time how long each datagram waited in the
    // queue; the others would only pay for them.
    const bool keeps_time = audio_keeps_time(audio);
    if (socket_set_arrival_stamps(socket, keeps_time) != 0) {
        return -1;
    }
    result = socket_enable_batches(socket);
    if (result != 0) {
        return result;
    }
    // A peer is told the backend and the device, never a path of this machine.
    char device[sizeof(service_identity{}.device_name)];
    audio_backend_describe(config.audio.backend, config.audio.device, device, sizeof device);
    result =
        ping_answer_init(&pings, {VBAN_SERVICE_RECEPTOR, 0, 0, "dorvane", device,
                                  config.socket.ip_address, config.socket.port, config.streamname});
    if (result != 0 ||
        socket_set_receive_timeout(socket, receive_timeout_for(config.stats_interval_s)) != 0) {
        return result != 0 ? result : -1;
    }
    receiver_signals_install();

    // The loop ends when a receive fails or the open output fails (the program then exits with
    // that step's result), or at SIGINT or SIGTERM (status 0). Each turn takes the datagrams
    // queued by then, one when they come one at a time, and plays them in order.
    receiver_report report(clock::now(), std::chrono::duration<double>(config.stats_interval_s),
                           config.streamname, config.socket.ip_address);
    receiver_state state{config.streamname, socket, audio, &pings, &report, {}, {}, {}};
    std::int32_t status = 0;
    while (!receiver_stop_requested()) {
        // An output that is given what it plays is looked at when its audio is late, before
        // it runs dry.
        if (const std::int64_t look_at = audio_look_at_ns(audio); look_at != 0) {
            const std::int32_t ready = socket_wait_until(socket, look_at);
            const bool interrupted = ready < 0 && socket_last_error(socket) == EINTR;
            const std::int32_t failed = ready == 0 ? audio_look(audio, nanoseconds(clock::now()))
                                                   : (interrupted ? 0 : ready);
            if (failed < 0 && !receiver_stop_requested()) {
                status = failed;
                break;
            }
            if (ready <= 0) {
                continue;
            }
        }
        const std::int32_t received = socket_receive_batch(socket);
        // A batch carries the time its receive read; a receive that failed read none.
        const clock::time_point batch_time =
            received >= 0
                ? clock::time_point(std::chrono::nanoseconds(socket_batch_time_ns(socket)))
                : clock::now();
        report.tell_kept(batch_time);
        const bool asked = receiver_take_stats_request();
        if (report.stats_due(batch_time) || asked) {
            report_stats(audio, asked);
        }
        if (received < 0) {
            const int error = socket_last_error(socket);
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                continue;
            }
            status = received;
            break;
        }
        socket_datagram datagram{};
        while (status == 0 && !receiver_stop_requested() && socket_batch_next(socket, &datagram)) {
            // An output that keeps time places each packet at its own moment; for the others
            // the batch's is as good.
            status = take_datagram(state, datagram, keeps_time ? clock::now() : batch_time);
        }
        const std::int32_t flushed = audio_flush(audio);
        if (status == 0 && flushed < 0 && !receiver_stop_requested()) {
            status = flushed;
        }
        if (status != 0) {
            break;
        }
    }

    report.tell_kept(clock::now(), true);
    report_stats(audio, false);
    audio_release(&audio);
    socket_release(&socket);
    return status;
}
