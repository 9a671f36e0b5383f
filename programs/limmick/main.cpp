// SPDX-License-Identifier: MIT
// limmick: sends one VBAN text packet and exits.

#include <cstdio>
#include <cstring>

#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "programs/limmick/text_sender_options.hpp"
#include "vban/vban.hpp"

namespace {

constexpr std::size_t message_max_length = VBAN_DATA_MAX_SIZE - 1;  // the byte after stays 0

void fill_text_header(vban_header* header, const text_sender_config& config) {
    header->vban = VBAN_HEADER_FOURC;
    // The indicator was read within the five bits of the rate field.
    header->sr = static_cast<std::uint8_t>(config.bps) | VBAN_PROTOCOL_TXT;
    header->nbs = 0;
    header->nbc = static_cast<std::uint8_t>(config.ident);
    header->bit = static_cast<std::uint8_t>(config.format);
    vban_set_stream_name(header->streamname, config.streamname);
    header->nu_frame = 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    logger_set_standard_output(false);
    std::printf("%s version %s\n\n", argc > 0 && argv[0] != nullptr ? argv[0] : "limmick",
                VBAN_TOOLS_VERSION_TEXT);

    text_sender_config config{};
    char buffer[VBAN_PROTOCOL_MAX_SIZE] = {};
    socket_handle* socket = nullptr;

    const int options = get_options(&config, argc, argv);
    if (options != 0) {
        return options == OPTIONS_VERSION_ASKED ? 0 : 1;
    }

    const char* message = argv[argc - 1];
    std::size_t length = std::strlen(message);
    if (length > message_max_length) {
        logger_log(LOG_FATAL, "Message too long. max lenght is %d",
                   static_cast<int>(message_max_length));
        print_usage();
        return 1;
    }
    std::memcpy(buffer + VBAN_HEADER_SIZE, message, length);
    if (!shared_resolve_peer(config.peer, &config.socket)) {
        return 1;
    }

    std::int32_t result = socket_init(&socket, &config.socket);
    if (result != 0) {
        return result;
    }

    vban_header header{};
    fill_text_header(&header, config);
    std::memcpy(buffer, &header, sizeof header);
    logger_log(LOG_DEBUG,
               "%s: text packet of '%s': bit rate indicator %u, sub-channel %u, format %u, %zu "
               "bytes: %s",
               "main", config.streamname, header.sr & VBAN_SR_MASK, header.nbc, header.bit, length,
               message);

    std::int32_t sent = socket_write(socket, buffer, VBAN_HEADER_SIZE + length);
    socket_release(&socket);
    return sent < 0 ? sent : 0;
}
