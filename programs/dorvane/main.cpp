// SPDX-License-Identifier: MIT
// dorvane: receives one peer's VBAN audio stream and plays it.

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

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

std::uint8_t stop_flag = 0;

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

}  // namespace

int main(int argc, char* argv[]) {
    receptor_config config{};
    // A failed start-up step ends the program at once and leaves what earlier steps built to
    // the system; static storage keeps those objects reachable for leak checkers meanwhile.
    static socket_handle* socket = nullptr;
    static audio_handle* audio = nullptr;
    static ping_answer pings{};
    std::uint8_t buffer[VBAN_PROTOCOL_MAX_SIZE] = {};

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
    if (socket_set_arrival_stamps(socket, audio_keeps_time(audio)) != 0) {
        return -1;
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
    // that step's result), or at SIGINT or SIGTERM (status 0).
    output_retry retry;
    receiver_report report(clock::now(), std::chrono::duration<double>(config.stats_interval_s),
                           config.streamname, config.socket.ip_address);
    stream_config playing{};
    std::int32_t status = 0;
    while (stop_flag == 0 && !receiver_stop_requested()) {
        sockaddr_in sender{};
        std::int64_t waited_ns = 0;
        const std::int32_t size =
            socket_receive(socket, buffer, sizeof buffer, &sender, &waited_ns);
        const clock::time_point now = clock::now();
        report.tell_kept(now);
        const bool asked = receiver_take_stats_request();
        if (report.stats_due(now) || asked) {
            report_stats(audio, asked);
        }
        if (size < 0) {
            const int error = socket_last_error(socket);
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                continue;
            }
            status = size;
            stop_flag = 1;
            break;
        }
        const auto length = static_cast<std::size_t>(size);
        if (ping_answer_handle(&pings, socket, buffer, length, sender, nanoseconds(now))) {
            continue;
        }
        if (!socket_is_peer(socket, sender)) {
            report.from_stranger(buffer, length, sender, now);
            continue;
        }
        if (logger_enabled(LOG_DEBUG)) {
            (void)packet_check(config.streamname, buffer, length);  // every datagram, decoded
        }
        const packet_fault fault = packet_find_fault(config.streamname, buffer, length);
        if (fault != packet_fault::none) {
            report.refused(fault, buffer, length, sender, now);
            continue;
        }
        stream_config stream{};
        if (packet_get_stream_config(buffer, &stream) != 0) {
            continue;
        }
        if (!(stream == playing)) {
            // A packet the output does not take is counted. Held back, the output still plays
            // the stream it played; refused, nothing until a packet that it takes.
            const std::int32_t taken = output_takes(audio, stream, retry, report, now);
            if (taken != 0) {
                audio_note_dropped(audio);
                playing = taken == -EBUSY ? playing : stream_config{};
                continue;
            }
            service_identity_set_sample_rate(&pings.identity, stream.sample_rate);
            playing = stream;
        }
        const std::int32_t payload = size - static_cast<std::int32_t>(VBAN_HEADER_SIZE);
        const std::int32_t written = audio_write_packet(
            audio, buffer + VBAN_HEADER_SIZE, static_cast<std::uint64_t>(payload),
            packet_get_counter(buffer), nanoseconds(now), waited_ns);
        // A write cut short by the signal that stops the receiver is the normal end.
        if (written != payload && !receiver_stop_requested()) {
            logger_log(LOG_WARNING, "%s: wrote %d bytes, expected %d bytes", "main", written,
                       payload);
            if (written < 0) {
                status = written;
                stop_flag = 1;
                break;
            }
        }
    }

    report.tell_kept(clock::now(), true);
    report_stats(audio, false);
    audio_release(&audio);
    socket_release(&socket);
    return status;
}
