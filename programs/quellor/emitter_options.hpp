// SPDX-License-Identifier: MIT
#pragma once

#include "audio/audio.hpp"
#include "audio/map_config.hpp"
#include "common/udp_socket.hpp"
#include "programs/common/shared_options.hpp"
#include "vban/stream_config.hpp"

// The emitter's command line.
struct emitter_config {
    socket_config socket;
    audio_config audio;
    stream_config stream;  // what the capture device is opened with
    map_config map;
    stream_name_text streamname;  // up to 16 bytes, always terminated here
    peer_text peer;               // -i as given; socket.ip_address is what it resolves to
};

// Writes the usage text to standard output.
void print_usage();

// Fills a zeroed `config` with the defaults and the command line: 0 to go on, otherwise the
// exit status (1 for -h and for every problem with the options).
[[nodiscard]] int get_options(emitter_config* config, int argc, char* argv[]);
