// SPDX-License-Identifier: MIT
// quellor: captures PCM and streams it as VBAN audio packets to one peer.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "audio/audio.hpp"
#include "audio/backend_registry.hpp"
#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "programs/common/ping_answer.hpp"
#include "programs/quellor/emitter_options.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

std::uint8_t stop_flag = 0;

using clock = std::chrono::steady_clock;

// The longest wait for the input or a ping; the loop then waits again.
constexpr int wait_ms = 1000;

std::int64_t nanoseconds(clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

}  // namespace

int main(int argc, char* argv[]) {
    logger_set_standard_output(false);
    std::printf("%s version %s\n\n", argc > 0 && argv[0] != nullptr ? argv[0] : "quellor",
                VBAN_TOOLS_VERSION_TEXT);

    emitter_config config{};
    // A failed start-up step ends the program at once and leaves what earlier steps built to
    // the system; static storage keeps those objects reachable for leak checkers meanwhile.
    static socket_handle* socket = nullptr;
    static audio_handle* audio = nullptr;
    static ping_answer pings{};
    // The header stays at the start for the whole run; every capture read lands behind it.
    std::uint8_t buffer[VBAN_PROTOCOL_MAX_SIZE] = {};
    std::uint8_t* payload = buffer + VBAN_HEADER_SIZE;

    int result = get_options(&config, argc, argv);
    if (result != 0) {
        return result == OPTIONS_VERSION_ASKED ? 0 : result;
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
    result = audio_set_stream_config(audio, &config.stream);
    if (result == -ERANGE) {
        return 1;  // a -r that the device refuses is a mistake of the command line
    }
    if (result != 0) {
        return result;
    }

    stream_config sent{};
    if (audio_get_stream_config(audio, &sent) != 0 ||
        packet_init_header(buffer, &sent, config.streamname) != 0) {
        return -22;
    }
    std::int32_t payload_size = packet_get_max_payload_size(buffer);
    if (payload_size < 0) {
        return payload_size;
    }
    // A peer is told the backend and the device, never a path of this machine.
    char device[sizeof(service_identity{}.device_name)];
    audio_backend_describe(config.audio.backend, config.audio.device, device, sizeof device);
    result =
        ping_answer_init(&pings, {VBAN_SERVICE_TRANSMITTER, sent.sample_rate, 0, "quellor", device,
                                  config.socket.ip_address, config.socket.port, config.streamname});
    if (result != 0) {
        return result;
    }

    const std::size_t frame = bit_fmt_frame_size(sent.bit_fmt, sent.nb_channels);
    std::int32_t status = 0;
    std::uint32_t packets = 0;
    std::uint32_t unsent = 0;  // dropped by a send error the stream lived through
    while (stop_flag == 0) {
        // The input and the socket together: a peer that discovers devices may ping the port
        // this stream leaves from, also while the input is quiet (a pipe without a writer, a
        // device that has not started).
        const std::int32_t ready = audio_wait_input(audio, socket_descriptor(socket), wait_ms);
        if ((ready & AUDIO_WAIT_OTHER) != 0) {
            ping_answer_pending(&pings, socket, nanoseconds(clock::now()));
        }
        if ((ready & AUDIO_WAIT_INPUT) == 0) {
            continue;
        }
        std::int32_t got = audio_read(audio, payload, static_cast<std::uint64_t>(payload_size));
        if (got < 0) {
            status = got;
            stop_flag = 1;
            break;
        }
        // A read ends inside a frame only where the input ends: its whole frames still go out.
        const std::size_t partial = static_cast<std::size_t>(got) % frame;
        if (partial != 0) {
            logger_log(LOG_WARNING,
                       "%s: the input ends inside a frame: its last %zu bytes are dropped", "main",
                       partial);
            got -= static_cast<std::int32_t>(partial);
            stop_flag = 1;
        }
        if (got == 0) {
            logger_log(LOG_INFO, "%s: end of input after %u packets", "main", packets);
            break;
        }
        std::size_t length = VBAN_HEADER_SIZE + static_cast<std::size_t>(got);
        if (packet_set_new_content(buffer, static_cast<std::size_t>(got)) != 0 ||
            (status = packet_check(config.streamname, buffer, length)) != 0) {
            logger_log(LOG_ERROR, "%s: packet prepared is invalid", "main");
            status = -22;
            break;
        }
        std::int32_t sent_bytes = socket_write(socket, buffer, length);
        // The network may be away for a while (a link going down, a firewall): that packet is
        // lost, and the stream goes on as soon as the network is back.
        if (sent_bytes < 0) {
            if (!socket_send_error_is_transient(socket_last_error(socket))) {
                status = sent_bytes;
                stop_flag = 1;
                break;
            }
            ++unsent;
        }
        ++packets;
        if (stop_flag != 0) {
            logger_log(LOG_INFO, "%s: end of input after %u packets", "main", packets);
        }
        status = 0;
    }

    // The stream went on through the failed sends, but a run that lost packets did not do
    // what it was asked: its status says so.
    if (status == 0 && unsent != 0) {
        logger_log(LOG_ERROR, "%s: %u of %u packets could not be sent", "main", unsent, packets);
        status = -1;
    }
    audio_release(&audio);
    socket_release(&socket);
    return status;
}
