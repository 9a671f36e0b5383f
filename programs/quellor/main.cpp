// quellor: captures PCM and streams it as VBAN audio packets to one peer.

#include <cstdint>
#include <cstdio>

#include "audio/audio.hpp"
#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "programs/quellor/emitter_options.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

constexpr const char* version = "2.1.0";
std::uint8_t stop_flag = 0;

}  // namespace

int main(int argc, char* argv[]) {
    std::printf("%s version %s\n\n", argc > 0 && argv[0] != nullptr ? argv[0] : "quellor", version);

    emitter_config config{};
    // A failed start-up step ends the program at once and leaves what earlier steps built to
    // the system; static storage keeps those objects reachable for leak checkers meanwhile.
    static socket_handle* socket = nullptr;
    static audio_handle* audio = nullptr;
    // The header stays at the start for the whole run; every capture read lands behind it.
    std::uint8_t buffer[VBAN_PROTOCOL_MAX_SIZE] = {};
    std::uint8_t* payload = buffer + VBAN_HEADER_SIZE;

    int result = get_options(&config, argc, argv);
    if (result != 0) {
        return result;
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

    std::int32_t status = 0;
    while (stop_flag == 0) {
        std::int32_t got = audio_read(audio, payload, static_cast<std::uint64_t>(payload_size));
        if (got < 0) {
            status = got;
            stop_flag = 1;
            break;
        }
        std::size_t length = VBAN_HEADER_SIZE + static_cast<std::size_t>(got);
        // The check also ends the stream at the end of an input file (a packet without samples).
        if (packet_set_new_content(buffer, static_cast<std::size_t>(got)) != 0 ||
            (status = packet_check(config.streamname, buffer, length)) != 0) {
            logger_log(LOG_ERROR, "%s: packet prepared is invalid", "main");
            status = -22;
            break;
        }
        std::int32_t sent_bytes = socket_write(socket, buffer, length);
        if (sent_bytes < 0) {
            status = sent_bytes;
            stop_flag = 1;
            break;
        }
        status = 0;
    }

    audio_release(&audio);
    socket_release(&socket);
    return status;
}
