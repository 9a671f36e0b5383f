// SPDX-License-Identifier: MIT
#pragma once

#include "audio/audio.hpp"
#include "audio/map_config.hpp"
#include "common/udp_socket.hpp"
#include "programs/common/shared_options.hpp"

// The receptor's command line.
struct receptor_config {
    socket_config socket;
    audio_config audio;
    map_config map;
    stream_name_text streamname;  // up to 16 bytes, always terminated here
    peer_text peer;               // -i as given; socket.ip_address is what it resolves to
    double stats_interval_s;      // --stats
};

// The interval of the statistics line without --stats, in seconds.
constexpr double RECEPTOR_STATS_INTERVAL_S = 10;

// Writes the version line to standard output.
void print_version();

// Writes the version line and the usage text to standard output.
void print_usage();

// True when the samples are written to standard output (the file output without a name).
[[nodiscard]] bool audio_goes_to_standard_output(const audio_config& audio);

// Fills a zeroed `config` from the command line: 0 to go on, OPTIONS_VERSION_ASKED for --version,
// otherwise the exit status (1 after printing the usage for -h and for any problem with the
// options).
[[nodiscard]] int get_options(receptor_config* config, int argc, char* argv[]);
