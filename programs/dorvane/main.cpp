// dorvane: receives one peer's VBAN audio stream and plays it.

#include <cstdint>
#include <cstdio>

#include "audio/audio.hpp"
#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "programs/dorvane/output_retry.hpp"
#include "programs/dorvane/receptor_options.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

std::uint8_t stop_flag = 0;

// Opens the output again when the stream's configuration changes. A configuration the output
// refuses is reported once and its packets are dropped (false), while the receiver goes on
// listening: one packet, even a forged one, cannot stop it.
bool output_takes(audio_handle* audio, const stream_config& stream, output_retry& retry) {
    const auto now = output_retry::clock::now();
    const output_attempt attempt = retry.next(stream, now);
    if (attempt == output_attempt::skip) {
        return false;
    }
    logger_mute(attempt == output_attempt::ask_again);
    const std::int32_t result = audio_set_stream_config(audio, &stream);
    logger_mute(false);
    if (result < 0) {
        if (attempt == output_attempt::ask) {
            logger_log(LOG_ERROR,
                       "%s: the output cannot play %u channels at %u Hz in %s: dropping these "
                       "packets, asking again once a second",
                       "main", stream.nb_channels, stream.sample_rate,
                       bit_fmt_name(stream.bit_fmt));
        }
        retry.refused(stream, now);
        return false;
    }
    if (retry.accepted()) {
        logger_log(LOG_WARNING, "%s: the output plays %u channels at %u Hz in %s", "main",
                   stream.nb_channels, stream.sample_rate, bit_fmt_name(stream.bit_fmt));
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    receptor_config config{};
    // A failed start-up step ends the program at once and leaves what earlier steps built to
    // the system; static storage keeps those objects reachable for leak checkers meanwhile.
    static socket_handle* socket = nullptr;
    static audio_handle* audio = nullptr;
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
    // bytes; the usage text, which stops the program, still begins with it.
    if (!audio_goes_to_standard_output(config.audio)) {
        print_version();
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

    // The loop ends only when a receive fails or the open output fails; the program then exits
    // with that step's result.
    output_retry retry;
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
        if (!output_takes(audio, stream, retry)) {
            continue;
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
