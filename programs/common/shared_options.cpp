// SPDX-License-Identifier: MIT
#include "programs/common/shared_options.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>

#include "common/number_text.hpp"

namespace {

// The ranges of the numbers every program reads.
constexpr long long port_first = 1;
constexpr long long port_last = 65535;
constexpr long long level_first = LOG_FATAL;
constexpr long long level_last = LOG_DEBUG;

// A text that the system's lenient address parser takes for an address (127.1, 0x7f.1, a
// leading zero read as octal), or that holds only digits and dots, is meant as an address;
// it must then be a plain dotted quad, never a name to look up.
bool looks_like_an_address(const char* text) {
    in_addr ignored{};
    if (inet_aton(text, &ignored) != 0) {
        return true;
    }
    for (const char* c = text; *c != '\0'; ++c) {
        if ((*c < '0' || *c > '9') && *c != '.') {
            return false;
        }
    }
    return true;
}

}  // namespace

void refuse_option_value(const char* option, const char* value, const char* needed) {
    logger_log(LOG_FATAL, "Invalid value '%s' for %s: %s (see --help)", value, option, needed);
}

bool read_number_option(const char* text, const char* option, long long min, long long max,
                        long long* value) {
    if (number_read_integer(text, min, max, value)) {
        return true;
    }
    char needed[96];
    std::snprintf(needed, sizeof needed, "a whole number from %lld to %lld is needed", min, max);
    refuse_option_value(option, text, needed);
    return false;
}

bool read_shared_option(int option, const char* argument, const shared_options& options,
                        int* outcome) {
    bool taken = true;
    switch (option) {
        case 'i':
            taken = copy_option_text(options.peer, argument, "-i, --ipaddress");
            break;
        case 'p':
            taken = read_number_option(argument, "-p, --port", port_first, port_last,
                                       &options.socket->port);
            break;
        case 's':
            taken = copy_option_text(options.streamname, argument, "-s, --streamname");
            break;
        case 'l': {
            std::int32_t level = 0;
            taken = read_number_option(argument, "-l, --loglevel", level_first, level_last, &level);
            if (taken) {
                logger_set_level(level);
            }
            break;
        }
        case SHARED_OPTION_VERSION:
            *outcome = OPTIONS_VERSION_ASKED;
            return true;
        default:
            return false;
    }
    *outcome = taken ? 0 : 1;
    return true;
}

bool shared_stray_argument(int argc, char* argv[], int first_operand) {
    if (first_operand >= argc) {
        return false;
    }
    logger_log(LOG_FATAL, "Unexpected argument '%s': only options are taken (see --help)",
               argv[first_operand]);
    return true;
}

bool shared_options_missing(const shared_options& options) {
    if (options.peer[0] == '\0' || options.socket->port == 0 || options.streamname[0] == '\0') {
        logger_log(LOG_FATAL, "Missing ip address, port or stream name");
        return true;
    }
    return false;
}

bool shared_resolve_peer(const peer_text& peer, socket_config* socket) {
    in_addr address{};
    if (inet_pton(AF_INET, peer, &address) != 1) {
        if (looks_like_an_address(peer)) {
            refuse_option_value("-i, --ipaddress", peer,
                                "an IPv4 address in dotted decimal, such as 192.168.1.10, or a "
                                "host name is needed");
            return false;
        }
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        const int error = getaddrinfo(peer, nullptr, &hints, &found);
        if (error != 0 || found == nullptr) {
            char needed[160];
            std::snprintf(needed, sizeof needed, "the name does not resolve to an IPv4 address: %s",
                          error != 0 ? gai_strerror(error) : "no address");
            refuse_option_value("-i, --ipaddress", peer, needed);
            return false;
        }
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    // The canonical text, which is what a receiver compares its senders with.
    if (inet_ntop(AF_INET, &address, socket->ip_address, sizeof socket->ip_address) == nullptr) {
        return false;
    }
    if (std::strcmp(peer, socket->ip_address) != 0) {
        logger_log(LOG_INFO, "%s: %s is %s, its first IPv4 address", "main", peer,
                   socket->ip_address);
    }
    return true;
}
