// SPDX-License-Identifier: MIT
#include "programs/quellor/emitter_options.hpp"

#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "audio/backend_registry.hpp"
#include "common/logger.hpp"
#include "programs/common/shared_options.hpp"
#include "vban/vban.hpp"

namespace {

// The ranges of the emitter's numbers: a channel count the protocol carries, and a rate up to
// the highest of the VBAN table (a rate below it that the table lacks is refused by the check
// of the first packet).
constexpr long long channels_first = 1;
constexpr long long channels_last = VBAN_CHANNELS_MAX_NB;
constexpr long long rate_first = 1;
constexpr long long rate_last = std::ranges::max(vban_sample_rates);

// A stream that cannot be captured and sent is refused before any socket or device opens:
// every later step divides by the frame size, and a frame must fit in one packet. A rate of 0
// is the device's own (see get_options).
int check_stream(const emitter_config& config, const char* format_text) {
    const stream_config& stream = config.stream;
    if (bit_fmt_sample_size(stream.bit_fmt) == 0) {
        refuse_option_value("-f, --format", format_text,
                            "one of 8I, 16I, 24I, 32I, 32F, 64F is needed");
        return 1;
    }
    const std::uint64_t channels =
        config.map.nb_channels != 0 ? config.map.nb_channels : stream.nb_channels;
    const std::size_t frame = bit_fmt_frame_size(stream.bit_fmt, channels);
    if (frame > VBAN_DATA_MAX_SIZE) {
        logger_log(LOG_FATAL,
                   "A frame of %llu channels in %s is %zu bytes: at most %zu fit in one packet",
                   static_cast<unsigned long long>(channels), bit_fmt_name(stream.bit_fmt), frame,
                   VBAN_DATA_MAX_SIZE);
        return 1;
    }
    return 0;
}

}  // namespace

void print_usage() {
    std::puts("\nUsage: quellor [OPTIONS]...\n");
    std::puts("-i, --ipaddress=IP      : MANDATORY. ipaddress or host name to send stream to");
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
    const shared_options shared{&config->socket, config->peer, config->streamname};
    bool rate_given = false;

    optind = 0;  // a fresh scan, so the parser can be run more than once in a process
    int c;
    while ((c = getopt_long(argc, argv, "i:p:s:b:d:r:n:f:c:l:h", long_options, nullptr)) != -1) {
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
            case 'd':
                if (!copy_option_text(config->audio.device, optarg, "-d, --device")) {
                    return 1;
                }
                break;
            case 'r':
                if (!read_number_option(optarg, "-r, --rate", rate_first, rate_last,
                                        &config->stream.sample_rate)) {
                    return 1;
                }
                rate_given = true;
                break;
            case 'n':
                if (!read_number_option(optarg, "-n, --nbchannels", channels_first, channels_last,
                                        &config->stream.nb_channels)) {
                    return 1;
                }
                break;
            case 'f':
                config->stream.bit_fmt = bit_fmt_from_name(optarg);
                format_text = optarg;
                break;
            case 'c':
                if (!read_channel_list_option(optarg, &config->map)) {
                    return 1;
                }
                break;
            default:  // -h, an unknown option, or a missing argument (already reported)
                print_usage();
                return 1;
        }
    }

    if (shared_stray_argument(argc, argv, optind)) {
        return 1;
    }
    if (shared_options_missing(shared)) {
        print_usage();
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
    return check_stream(*config, format_text);
}
