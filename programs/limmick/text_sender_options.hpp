// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "common/udp_socket.hpp"
#include "programs/common/shared_options.hpp"

// The text sender's command line.
struct text_sender_config {
    socket_config socket;
    stream_name_text streamname;  // up to 16 bytes, always terminated here
    std::int32_t bps;             // bit-rate indicator, 0 to 31
    std::int32_t ident;           // sub-channel identification, 0 to 255
    std::int32_t format;          // text format code, 0 to 255
    peer_text peer;               // -i as given; socket.ip_address is what it resolves to
};

// Writes the usage text to standard output.
void print_usage();

// Fills a zeroed `config` from the command line. 0 when exactly one message operand is left
// (it is argv[argc - 1] afterwards); 1 after printing the usage for any problem or for -h.
[[nodiscard]] int get_options(text_sender_config* config, int argc, char* argv[]);
