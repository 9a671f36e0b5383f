// SPDX-License-Identifier: MIT
#include "programs/dorvane/receptor_options.hpp"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/backend_registry.hpp"
#include "common/logger.hpp"
#include "programs/common/shared_options.hpp"

namespace {

// getopt_long's values for the options that have no short form.
constexpr int OPTION_LATENCY = 0x101;
constexpr int OPTION_BIT_EXACT = 0x102;

// The latency an output that keeps time holds, for each network quality; any other quality
// gets the shortest.
constexpr std::uint32_t latency_ms_of_quality[] = {8, 16, 32, 64, 128};

// The longest latency that may be asked for: its buffers hold twice as much.
constexpr long longest_latency_ms = 10000;

// The size in bytes that each quality gave a device buffer before latencies were held in
// milliseconds; outputs that do not keep time ignore it.
std::uint64_t buffer_size_for_quality(std::uint8_t quality) {
    constexpr std::uint64_t sizes[] = {1536, 3072, 6144, 12288, 24576};
    return quality < std::size(sizes) ? sizes[quality] : 1464;
}

std::uint32_t latency_for_quality(std::uint8_t quality) {
    return quality < std::size(latency_ms_of_quality) ? latency_ms_of_quality[quality]
                                                      : latency_ms_of_quality[0];
}

// --latency takes whole milliseconds from 1 to the longest; anything else is refused.
bool read_latency(const char* text, std::uint32_t* latency) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > longest_latency_ms) {
        logger_log(LOG_FATAL, "Invalid latency %s: a whole number of milliseconds from 1 to %ld",
                   text, longest_latency_ms);
        return false;
    }
    *latency = static_cast<std::uint32_t>(value);
    return true;
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
    std::puts("-i, --ipaddress=IP      : MANDATORY. ipaddress to get stream from");
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
        {nullptr, 0, nullptr, 0},
    };

    std::uint8_t quality = 1;
    std::uint32_t latency = 0;  // 0: the quality's
    optind = 0;  // a fresh scan, so the parser can be run more than once in a process
    int c;
    while ((c = getopt_long(argc, argv, "i:p:s:b:q:c:o:d:l:h", long_options, nullptr)) != -1) {
        int outcome = 0;
        if (read_shared_option(c, optarg, &config->socket, config->streamname, &outcome)) {
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
                quality = static_cast<std::uint8_t>(std::atoi(optarg));
                break;
            case 'c': {
                int result = audio_parse_map_config(&config->map, optarg);
                if (result != 0) {
                    return result;
                }
                break;
            }
            case OPTION_LATENCY:
                if (!read_latency(optarg, &latency)) {
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
    config->audio.target_ms = latency != 0 ? latency : latency_for_quality(quality);
    config->socket.direction = SOCKET_DIRECTION_IN;
    static_assert(sizeof config->audio.stream_name == sizeof config->streamname);
    std::memcpy(config->audio.stream_name, config->streamname, sizeof config->streamname);

    if (shared_options_missing(config->socket, config->streamname)) {
        print_usage();
        return 1;
    }
    if (shared_address_invalid(config->socket)) {
        return 1;
    }
    return 0;
}
