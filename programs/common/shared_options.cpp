// SPDX-License-Identifier: MIT
#include "programs/common/shared_options.hpp"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>

bool read_shared_option(int option, const char* argument, socket_config* socket,
                        stream_name_text& streamname, int* outcome) {
    bool taken = true;
    switch (option) {
        case 'i':
            taken = copy_option_text(socket->ip_address, argument, "-i, --ipaddress");
            break;
        case 'p':
            socket->port = static_cast<std::uint16_t>(std::atoi(argument));
            break;
        case 's':
            taken = copy_option_text(streamname, argument, "-s, --streamname");
            break;
        case 'l':
            logger_set_level(std::atoi(argument));
            break;
        case SHARED_OPTION_VERSION:
            *outcome = OPTIONS_VERSION_ASKED;
            return true;
        default:
            return false;
    }
    *outcome = taken ? 0 : 1;
    return true;
}

bool shared_address_invalid(const socket_config& socket) {
    in_addr parsed{};
    if (inet_pton(AF_INET, socket.ip_address, &parsed) == 1) {
        return false;
    }
    logger_log(LOG_FATAL,
               "Invalid ip address %s: an IPv4 address in dotted decimal, such as 192.168.1.10, "
               "is needed",
               socket.ip_address);
    return true;
}

bool shared_options_missing(const socket_config& socket, const char* streamname) {
    if (socket.ip_address[0] == '\0' || socket.port == 0 || streamname[0] == '\0') {
        logger_log(LOG_FATAL, "Missing ip address, port or stream name");
        return true;
    }
    return false;
}
