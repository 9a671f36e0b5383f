// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstring>

#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "vban/vban.hpp"

// A stream name as the programs hold it: the 16 bytes of the header field, which a name of 16
// characters fills without a terminator, plus one byte that always terminates it here.
using stream_name_text = char[VBAN_STREAM_NAME_SIZE + 1];

// Copies an option's text into a fixed field. Nothing is ever cut: a text that does not fit
// (with its terminator) is refused with a fatal line naming the option and the limit, and
// false is returned; the program then ends with status 1.
template <std::size_t N>
[[nodiscard]] bool copy_option_text(char (&field)[N], const char* text, const char* option) {
    const std::size_t length = strnlen(text, N);
    if (length >= N) {
        logger_log(LOG_FATAL, "Value of %s is too long: at most %zu bytes are allowed", option,
                   N - 1);
        return false;
    }
    std::memcpy(field, text, length + 1);
    return true;
}

// The version every program reports.
constexpr const char* VBAN_TOOLS_VERSION_TEXT = VBAN_TOOLS_VERSION;

// getopt_long's value for --version, which has no short form.
constexpr int SHARED_OPTION_VERSION = 0x100;

// What a program's get_options returns for --version: the program ends with status 0 once it
// has printed its version line.
constexpr int OPTIONS_VERSION_ASKED = -1;

// Handles the options that every program reads alike: -i (peer address), -p (port, kept in
// 16 bits), -s (stream name, at most 16 bytes), -l (log level, in force at once) and
// --version. False for another option, which the program reads itself. True when it was one
// of these: `*outcome` is then 0 to go on, or what get_options returns at once (1 for a value
// that cannot be taken, after its fatal line; OPTIONS_VERSION_ASKED).
[[nodiscard]] bool read_shared_option(int option, const char* argument, socket_config* socket,
                                      stream_name_text& streamname, int* outcome);

// True, after the fatal line, when the address, the port or the stream name is missing.
[[nodiscard]] bool shared_options_missing(const socket_config& socket, const char* streamname);

// True, after the fatal line, when the address is not an IPv4 address in dotted decimal (such
// as 192.168.1.10, without leading zeros): a sender would otherwise turn it into the broadcast
// address 255.255.255.255, and a receiver would never see a sender with that text.
[[nodiscard]] bool shared_address_invalid(const socket_config& socket);
