#pragma once

#include "audio/audio.hpp"
#include "audio/map_config.hpp"
#include "common/udp_socket.hpp"

// The receptor's command line.
struct receptor_config {
    socket_config socket;
    audio_config audio;
    map_config map;
    char streamname[16];
};

// Writes the usage text to standard output.
void print_usage();

// Fills a zeroed `config` from the command line: 0 to go on, otherwise the exit status (1
// after printing the usage for -h and for any problem with the options).
[[nodiscard]] int get_options(receptor_config* config, int argc, char* argv[]);
