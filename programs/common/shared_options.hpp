#pragma once

#include <cstddef>
#include <cstring>

#include "common/udp_socket.hpp"

// Copies an option's text into a fixed field, keeping the last byte for the terminator: a
// longer text is cut.
template <std::size_t N>
void copy_option_text(char (&field)[N], const char* text) {
    std::strncpy(field, text, N - 1);
}

// Handles the options that every program reads alike: -i (peer address), -p (port, kept in
// 16 bits), -s (stream name) and -l (log level, in force at once). False for any other option.
[[nodiscard]] bool read_shared_option(int option, const char* argument, socket_config* socket,
                                      char (&streamname)[16]);

// True, after the fatal line, when the address, the port or the stream name is missing.
[[nodiscard]] bool shared_options_missing(const socket_config& socket, const char* streamname);
