// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstring>

#include "audio/map_config.hpp"
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

// The peer as -i gives it: an IPv4 address in dotted decimal or a host name (at most 253
// characters, as DNS allows).
using peer_text = char[256];

// What every program reads alike: -i (the peer's address or name), -p, -s, -l and --version.
struct shared_options {
    socket_config* socket;         // -p goes to its port; the resolved -i to its address
    peer_text& peer;               // -i as given
    stream_name_text& streamname;  // -s
};

// Handles the options that every program reads alike: -i (peer address or name), -p (port,
// 1 to 65535), -s (stream name, at most 16 bytes), -l (log level 0 to 4, in force at once) and
// --version. False for another option, which the program reads itself. True when it was one
// of these: `*outcome` is then 0 to go on, or what get_options returns at once (1 for a value
// that cannot be taken, after its fatal line; OPTIONS_VERSION_ASKED).
[[nodiscard]] bool read_shared_option(int option, const char* argument,
                                      const shared_options& options, int* outcome);

// Refuses the value of an option: one fatal line that names the option and the value, says
// what is needed and points to the usage. The program then ends with status 1, before any
// socket or device is opened.
void refuse_option_value(const char* option, const char* value, const char* needed);

// Reads the whole number of an option, from `min` to `max`, into `*value`. Anything else is
// refused (refuse_option_value) and false is returned.
[[nodiscard]] bool read_number_option(const char* text, const char* option, long long min,
                                      long long max, long long* value);

template <typename T>
[[nodiscard]] bool read_number_option(const char* text, const char* option, long long min,
                                      long long max, T* value) {
    long long read = 0;
    if (!read_number_option(text, option, min, max, &read)) {
        return false;
    }
    *value = static_cast<T>(read);
    return true;
}

// Reads the channel list of -c into `map`; refused as a whole, naming the list, when any
// entry is not a channel number from 1 to 256. Inline: only the audio programs link the map.
[[nodiscard]] inline bool read_channel_list_option(const char* text, map_config* map) {
    if (audio_parse_map_config(map, text) == 0) {
        return true;
    }
    refuse_option_value("-c, --channels", text,
                        "channel numbers from 1 to 256, separated by commas, are needed");
    return false;
}

// Refuses an argument left over after the options (a program that takes none): true, after the
// fatal line, when there is one.
[[nodiscard]] bool shared_stray_argument(int argc, char* argv[], int first_operand);

// True, after the fatal line, when the address, the port or the stream name is missing.
[[nodiscard]] bool shared_options_missing(const shared_options& options);

// Turns the peer of -i into the address the socket uses, once, at start-up: a dotted quad as
// it is (inet_pton: 127.1 or 0127.0.0.1 are refused, as a sender would take them for other
// addresses), a host name through the resolver (getaddrinfo, the first IPv4 address; the info
// line names it). False, after the fatal line, when it cannot: the program ends with status 1.
[[nodiscard]] bool shared_resolve_peer(const peer_text& peer, socket_config* socket);
