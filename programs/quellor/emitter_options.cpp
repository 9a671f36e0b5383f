// SPDX-License-Identifier: MIT
#include "programs/quellor/emitter_options.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/backend_registry.hpp"
#include "common/logger.hpp"
#include "programs/common/shared_options.hpp"
#include "vban/vban.hpp"

namespace {

// A stream that cannot be captured and sent is refused before any socket or device opens:
// every later step divides by the frame size or the rate.
// A rate of 0 is the device's own (see get_options).
int check_stream(const stream_config& stream, const char* format_text, bool rate_given) {
    if (stream.nb_channels < 1 || stream.nb_channels > VBAN_CHANNELS_MAX_NB) {
        logger_log(LOG_FATAL, "Invalid number of channels %d: allowed are 1 to %zu",
                   static_cast<int>(stream.nb_channels), VBAN_CHANNELS_MAX_NB);
        return 1;
    }
    if (stream.sample_rate == 0 && rate_given) {
        logger_log(LOG_FATAL, "Invalid sample rate 0: a rate in Hz above 0 is needed");
        return 1;
    }
    if (bit_fmt_sample_size(stream.bit_fmt) == 0) {
        logger_log(LOG_FATAL, "Invalid bit format %s: allowed are 8I, 16I, 24I, 32I, 32F, 64F",
                   format_text);
        return 1;
    }
    return 0;
}

}  // namespace

void print_usage() {
    std::puts("\nUsage: quellor [OPTIONS]...\n");
    std::puts("-i, --ipaddress=IP      : MANDATORY. ipaddress to send stream to");
    std::puts("-p, --port=PORT         : MANDATORY. port to use");
    std::puts("-s, --streamname=NAME   : MANDATORY. streamname to use");
    std::printf("-b, --backend=TYPE      : audio backend to use. %s\n",
                audio_backend_help_capture());
    std::puts(
        "-d, --device=NAME       : Audio device name. This is file name for file backend, client "
        "name for jack backend, device for alsa, source for pulse.");
    std::puts(
        "-r, --rate=VALUE        : Audio device sample rate. default 44100, or the server's for "
        "jack");
    std::puts("-n, --nbchannels=VALUE  : Audio device number of channels. default 2");
    std::puts(
        "-f, --format=VALUE      : Audio device sample format (see below). default is 16I (16bits "
        "integer)");
    std::puts(
        "-c, --channels=LIST     : channels from the audio device to use. LIST is of form "
        "x,y,z,... default is to forward the stream as it is");
    std::puts(
        "-l, --loglevel=LEVEL    : Log level, from 0 (FATAL) to 4 (DEBUG). default is 1 (ERROR)");
    std::puts("    --version           : display the version and exit");
    std::puts("-h, --help              : display this message\n");
    std::printf("%s\n\n", bit_fmt_help());
}

int get_options(emitter_config* config, int argc, char* argv[]) {
    static const option long_options[] = {
        {"ipaddress", required_argument, nullptr, 'i'},
        {"port", required_argument, nullptr, 'p'},
        {"streamname", required_argument, nullptr, 's'},
        {"backend", required_argument, nullptr, 'b'},
        {"device", required_argument, nullptr, 'd'},
        {"rate", required_argument, nullptr, 'r'},
        {"nbchannels", required_argument, nullptr, 'n'},
        {"format", required_argument, nullptr, 'f'},
        {"channels", required_argument, nullptr, 'c'},
        {"loglevel", required_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, SHARED_OPTION_VERSION},
        {nullptr, 0, nullptr, 0},
    };

    config->stream.nb_channels = 2;
    config->stream.sample_rate = 44100;
    config->stream.bit_fmt = BIT_FMT_16I;
    config->audio.buffer_size = 1024;
    config->socket.direction = SOCKET_DIRECTION_OUT;
    const char* format_text = "16I";
    bool rate_given = false;

    optind = 0;  // a fresh scan, so the parser can be run more than once in a process
    int c;
    while ((c = getopt_long(argc, argv, "i:p:s:b:d:r:n:f:c:l:h", long_options, nullptr)) != -1) {
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
            case 'd':
                if (!copy_option_text(config->audio.device, optarg, "-d, --device")) {
                    return 1;
                }
                break;
            case 'r':
                config->stream.sample_rate = static_cast<std::uint32_t>(std::atoi(optarg));
                rate_given = true;
                break;
            case 'n':
                config->stream.nb_channels = static_cast<std::uint32_t>(std::atoi(optarg));
                break;
            case 'f':
                config->stream.bit_fmt = bit_fmt_from_name(optarg);
                format_text = optarg;
                break;
            case 'c': {
                int result = audio_parse_map_config(&config->map, optarg);
                if (result != 0) {
                    return result;
                }
                break;
            }
            default:  // -h, an unknown option, or a missing argument (already reported)
                print_usage();
                return 1;
        }
    }

    if (shared_options_missing(config->socket, config->streamname)) {
        print_usage();
        return 1;
    }
    if (shared_address_invalid(config->socket)) {
        return 1;
    }
    // The table says what can capture; a name it lacks is left to audio_init, which reports it.
    const audio_backend_entry* backend = audio_backend_find(config->audio.backend);
    if (backend != nullptr && !backend->can_capture) {
        if (config->audio.backend[0] != '\0') {
            logger_log(LOG_FATAL, "Sorry %s backend is not ready for emitter yet", backend->name);
            return 1;
        }
        // A build whose first backend only plays (JACK without ALSA) captures from the first
        // one that can.
        const audio_backend_entry& capture = audio_backend_capture_default();
        static_assert(sizeof config->audio.backend == sizeof capture.name);
        std::memcpy(config->audio.backend, capture.name, sizeof capture.name);
        backend = &capture;
    }
    // A device with a rate of its own (a JACK server) captures at that rate unless -r names
    // one, which the device then refuses if it differs.
    if (backend != nullptr && backend->fixed_rate && !rate_given) {
        config->stream.sample_rate = 0;
    }
    static_assert(sizeof config->audio.stream_name == sizeof config->streamname);
    std::memcpy(config->audio.stream_name, config->streamname, sizeof config->streamname);
    return check_stream(config->stream, format_text, rate_given);
}
