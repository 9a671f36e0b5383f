// SPDX-License-Identifier: MIT
#include "programs/dorvane/receptor_options.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <iterator>

#include "audio/backend_registry.hpp"
#include "common/logger.hpp"
#include "common/number_text.hpp"
#include "programs/common/shared_options.hpp"

namespace {

// getopt_long's values for the options that have no short form.
constexpr int OPTION_LATENCY = 0x101;
constexpr int OPTION_BIT_EXACT = 0x102;
constexpr int OPTION_STATS = 0x103;

// The latency an output that keeps time holds, for each network quality 0 to 4.
constexpr std::uint32_t latency_ms_of_quality[] = {8, 16, 32, 64, 128};
constexpr long long quality_first = 0;
constexpr long long quality_last = std::size(latency_ms_of_quality) - 1;

// --latency in whole milliseconds; the longest holds buffers of twice as much.
constexpr long long latency_first_ms = 1;
constexpr long long latency_last_ms = 10000;

// --stats in seconds, decimals allowed: from ten lines a second to one an hour.
constexpr double stats_first_s = 0.1;
constexpr double stats_last_s = 3600;

// The size in bytes that each quality gave a device buffer before latencies were held in
// milliseconds; outputs that do not keep time ignore it.
std::uint64_t buffer_size_for_quality(std::uint8_t quality) {
    constexpr std::uint64_t sizes[] = {1536, 3072, 6144, 12288, 24576};
    static_assert(std::size(sizes) == std::size(latency_ms_of_quality));
    return sizes[quality];
}

bool read_stats_interval(const char* text, double* seconds) {
    if (number_read_decimal(text, stats_first_s, stats_last_s, seconds)) {
        return true;
    }
    refuse_option_value("--stats", text, "a number of seconds from 0.1 to 3600 is needed");
    return false;
}

}  // namespace

void print_version() {
    std::printf("dorvane version %s\n\n", VBAN_TOOLS_VERSION_TEXT);
}

bool audio_goes_to_standard_output(const audio_config& audio) {
    return std::strcmp(audio.backend, "file") == 0 && audio.device[0] == '\0';
}

void print_usage() {
    print_version();
    std::puts("\nUsage: dorvane [OPTIONS]...\n");
    std::puts("-i, --ipaddress=IP      : MANDATORY. ipaddress or host name to get stream from");
    std::puts("-p, --port=PORT         : MANDATORY. port to listen to");
    std::puts("-s, --streamname=NAME   : MANDATORY. streamname to play");
    std::printf("-b, --backend=TYPE      : audio backend to use. %s\n", audio_backend_help());
    std::puts(
        "-q, --quality=ID        : network quality indicator from 0 (low latency) to 4: the "
        "latency "
        "held on alsa, jack and pulse is 8, 16, 32, 64 or 128 ms. default is 1 (16 ms)");
    std::puts(
        "-c, --channels=LIST     : channels from the stream to use. LIST is of form x,y,z,... "
        "default is to forward the stream as it is");
    std::puts("-o, --output=NAME       : DEPRECATED. please use -d");
    std::puts(
        "-d, --device=NAME       : Audio device name. This is file name for file backend, client "
        "name for jack backend, device for alsa, sink for pulse.");
    std::puts(
        "-l, --loglevel=LEVEL    : Log level, from 0 (FATAL) to 4 (DEBUG). default is 1 (ERROR)");
    std::puts(
        "    --latency=MS        : latency to hold on alsa, jack and pulse, in milliseconds, "
        "instead of the quality's");
    std::puts(
        "    --bit-exact         : play the samples untouched on alsa, jack and pulse: the "
        "sender's clock is not followed");
    std::puts(
        "    --stats=SECONDS     : seconds between two statistics lines at log level 3, from 0.1 "
        "to 3600. default 10");
    std::puts("    --version           : display the version and exit");
    std::puts("-h, --help              : display this message\n");
}

int get_options(receptor_config* config, int argc, char* argv[]) {
    static const option long_options[] = {
        {"ipaddress", required_argument, nullptr, 'i'},
        {"port", required_argument, nullptr, 'p'},
        {"streamname", required_argument, nullptr, 's'},
        {"backend", required_argument, nullptr, 'b'},
        {"quality", required_argument, nullptr, 'q'},
        {"channels", required_argument, nullptr, 'c'},
        {"output", required_argument, nullptr, 'o'},
        {"device", required_argument, nullptr, 'd'},
        {"loglevel", required_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, SHARED_OPTION_VERSION},
        {"latency", required_argument, nullptr, OPTION_LATENCY},
        {"bit-exact", no_argument, nullptr, OPTION_BIT_EXACT},
        {"stats", required_argument, nullptr, OPTION_STATS},
        {nullptr, 0, nullptr, 0},
    };

    std::uint8_t quality = 1;
    std::uint32_t latency = 0;  // 0: the quality's
    config->stats_interval_s = RECEPTOR_STATS_INTERVAL_S;
    const shared_options shared{&config->socket, config->peer, config->streamname};
    optind = 0;  // a fresh scan, so the parser can be run more than once in a process
    int c;
    while ((c = getopt_long(argc, argv, "i:p:s:b:q:c:o:d:l:h", long_options, nullptr)) != -1) {
        int outcome = 0;
        if (read_shared_option(c, optarg, shared, &outcome)) {
            if (outcome != 0) {
                return outcome;
            }
            continue;
        }
        switch (c) {
            case 'b':
                if (!copy_option_text(config->audio.backend, optarg, "-b, --backend")) {
                    return 1;
                }
                break;
            case 'q':
                if (!read_number_option(optarg, "-q, --quality", quality_first, quality_last,
                                        &quality)) {
                    return 1;
                }
                break;
            case 'c':
                if (!read_channel_list_option(optarg, &config->map)) {
                    return 1;
                }
                break;
            case OPTION_LATENCY:
                if (!read_number_option(optarg, "--latency", latency_first_ms, latency_last_ms,
                                        &latency)) {
                    return 1;
                }
                break;
            case OPTION_STATS:
                if (!read_stats_interval(optarg, &config->stats_interval_s)) {
                    return 1;
                }
                break;
            case OPTION_BIT_EXACT:
                config->audio.bit_exact = true;
                break;
            case 'o':
            case 'd':
                if (!copy_option_text(config->audio.device, optarg,
                                      c == 'o' ? "-o, --output" : "-d, --device")) {
                    return 1;
                }
                break;
            default:  // -h, an unknown option, or a missing argument (already reported)
                print_usage();
                return 1;
        }
    }

    config->audio.direction = AUDIO_DIRECTION_OUT;
    config->audio.buffer_size = buffer_size_for_quality(quality);
    config->audio.target_ms = latency != 0 ? latency : latency_ms_of_quality[quality];
    config->socket.direction = SOCKET_DIRECTION_IN;
    static_assert(sizeof config->audio.stream_name == sizeof config->streamname);
    std::memcpy(config->audio.stream_name, config->streamname, sizeof config->streamname);

    if (shared_stray_argument(argc, argv, optind)) {
        return 1;
    }
    if (shared_options_missing(shared)) {
        print_usage();
        return 1;
    }
    return 0;
}
