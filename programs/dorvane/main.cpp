// dorvane: receives one peer's VBAN audio stream and plays it.

#include <cstdint>
#include <cstdio>

#include "audio/audio.hpp"
#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "programs/dorvane/receptor_options.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

constexpr const char* version = "2.1.0";
std::uint8_t stop_flag = 0;

}  // namespace

int main(int argc, char* argv[]) {
    std::printf("dorvane version %s\n\n", version);

    receptor_config config{};
    // A failed start-up step ends the program at once and leaves what earlier steps built to
    // the system; static storage keeps those objects reachable for leak checkers meanwhile.
    static socket_handle* socket = nullptr;
    static audio_handle* audio = nullptr;
    std::uint8_t buffer[VBAN_PROTOCOL_MAX_SIZE] = {};

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

    // The loop ends only on a failure; the program then exits with that step's result.
    std::int32_t status = 0;
    while (stop_flag == 0) {
        std::int32_t size = socket_read(socket, buffer, sizeof buffer);
        if (size < 0) {
            status = size;
            stop_flag = 1;
            break;
        }
        if (packet_check(config.streamname, buffer, static_cast<std::size_t>(size)) != 0) {
            continue;
        }
        stream_config stream{};
        if (packet_get_stream_config(buffer, &stream) != 0) {
            continue;
        }
        std::int32_t reopened = audio_set_stream_config(audio, &stream);
        if (reopened < 0) {
            status = reopened;
            stop_flag = 1;
            break;
        }
        std::int32_t payload = size - static_cast<std::int32_t>(VBAN_HEADER_SIZE);
        std::int32_t written =
            audio_write(audio, buffer + VBAN_HEADER_SIZE, static_cast<std::uint64_t>(payload));
        if (written != payload) {
            logger_log(LOG_WARNING, "%s: wrote %d bytes, expected %d bytes", "main", written,
                       payload);
            if (written < 0) {
                status = written;
                stop_flag = 1;
                break;
            }
        }
    }

    audio_release(&audio);
    socket_release(&socket);
    return status;
}
