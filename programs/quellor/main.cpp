// SPDX-License-Identifier: MIT
// quellor: captures PCM and streams it as VBAN audio packets to one peer.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "audio/audio.hpp"
#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "programs/common/ping_answer.hpp"
#include "programs/quellor/emitter_options.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

std::uint8_t stop_flag = 0;

using clock = std::chrono::steady_clock;

// How often the sender looks for pings on its socket.
constexpr auto ping_interval = std::chrono::milliseconds(50);

}  // namespace

int main(int argc, char* argv[]) {
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
    const char* device =
        config.audio.device[0] != '\0' ? config.audio.device : config.audio.backend;
    result =
        ping_answer_init(&pings, {VBAN_SERVICE_TRANSMITTER, sent.sample_rate, 0, "quellor", device,
                                  config.socket.ip_address, config.socket.port, config.streamname});
    if (result != 0) {
        return result;
    }
    auto pings_checked = clock::now();

    const std::size_t frame = bit_fmt_frame_size(sent.bit_fmt, sent.nb_channels);
    std::int32_t status = 0;
    std::uint32_t packets = 0;
    while (stop_flag == 0) {
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
        if (sent_bytes < 0 && !socket_send_error_is_transient(socket_last_error(socket))) {
            status = sent_bytes;
            stop_flag = 1;
            break;
        }
        ++packets;
        // A peer that discovers devices may ping the port this stream leaves from; a glance
        // now and then is enough, and costs the stream nothing in between.
        if (const auto now = clock::now(); now - pings_checked >= ping_interval) {
            pings_checked = now;
            ping_answer_pending(
                &pings, socket,
                std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch())
                    .count());
        }
        if (stop_flag != 0) {
            logger_log(LOG_INFO, "%s: end of input after %u packets", "main", packets);
        }
        status = 0;
    }

    audio_release(&audio);
    socket_release(&socket);
    return status;
}
