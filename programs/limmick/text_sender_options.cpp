// SPDX-License-Identifier: MIT
#include "programs/limmick/text_sender_options.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "common/logger.hpp"
#include "programs/common/shared_options.hpp"
#include "vban/vban.hpp"

namespace {

// The ranges of the text header's bytes: the bit-rate indicator fills the five bits of the
// rate field; the sub-channel and the format are whole bytes.
constexpr long long bps_first = 0;
constexpr long long bps_last = VBAN_SR_MASK;
constexpr long long byte_first = 0;
constexpr long long byte_last = 255;

}  // namespace

void print_usage() {
    std::puts("\nUsage: limmick [OPTIONS] MESSAGE\n");
    std::puts("-i, --ipaddress=IP      : MANDATORY. ipaddress or host name to send stream to");
    std::puts("-p, --port=PORT         : MANDATORY. port to use");
    std::puts("-s, --streamname=NAME   : MANDATORY. streamname to use");
    std::puts("-b, --bps=VALUE         : Data bitrate indicator. default 0 (no special bitrate)");
    std::puts("-n, --ident=VALUE       : Subchannel identification. default 0");
    std::puts(
        "-f, --format=VALUE      : Text format used. can be: 0 (ASCII), 1 (UTF8), 2 (WCHAR), 240 "
        "(USER). default 1");
    std::puts(
        "-l, --loglevel=LEVEL    : Log level, from 0 (FATAL) to 4 (DEBUG). default is 1 (ERROR)");
    std::puts("    --version           : display the version and exit");
    std::puts("-h, --help              : display this message\n");
}

int get_options(text_sender_config* config, int argc, char* argv[]) {
    static const option long_options[] = {
        {"ipaddress", required_argument, nullptr, 'i'},
        {"port", required_argument, nullptr, 'p'},
        {"streamname", required_argument, nullptr, 's'},
        {"bps", required_argument, nullptr, 'b'},
        {"ident", required_argument, nullptr, 'n'},
        {"format", required_argument, nullptr, 'f'},
        {"loglevel", required_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, SHARED_OPTION_VERSION},
        {nullptr, 0, nullptr, 0},
    };

    config->socket.direction = SOCKET_DIRECTION_OUT;
    config->bps = 0;
    config->ident = 0;
    config->format = VBAN_TXT_UTF8;
    const shared_options shared{&config->socket, config->peer, config->streamname};

    optind = 0;  // a fresh scan, so the parser can be run more than once in a process
    int c;
    while ((c = getopt_long(argc, argv, "i:p:s:b:n:f:l:h", long_options, nullptr)) != -1) {
        int outcome = 0;
        if (read_shared_option(c, optarg, shared, &outcome)) {
            if (outcome != 0) {
                return outcome;
            }
            continue;
        }
        switch (c) {
            case 'b':
                if (!read_number_option(optarg, "-b, --bps", bps_first, bps_last, &config->bps)) {
                    return 1;
                }
                break;
            case 'n':
                if (!read_number_option(optarg, "-n, --ident", byte_first, byte_last,
                                        &config->ident)) {
                    return 1;
                }
                break;
            case 'f':
                if (!read_number_option(optarg, "-f, --format", byte_first, byte_last,
                                        &config->format)) {
                    return 1;
                }
                break;
            default:  // -h, an unknown option, or a missing argument (already reported)
                print_usage();
                return 1;
        }
    }

    if (shared_options_missing(shared)) {
        print_usage();
        return 1;
    }
    if (optind >= argc) {
        logger_log(LOG_FATAL, "Missing message argument");
        print_usage();
        return 1;
    }
    if (argc - optind > 1) {
        logger_log(LOG_FATAL, "Too many arguments");
        print_usage();
        return 1;
    }
    return 0;
}
