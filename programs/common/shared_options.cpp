#include "programs/common/shared_options.hpp"

#include <cstdint>
#include <cstdlib>

#include "common/logger.hpp"

bool read_shared_option(int option, const char* argument, socket_config* socket,
                        char (&streamname)[16]) {
    switch (option) {
        case 'i':
            copy_option_text(socket->ip_address, argument);
            return true;
        case 'p':
            socket->port = static_cast<std::uint16_t>(std::atoi(argument));
            return true;
        case 's':
            copy_option_text(streamname, argument);
            return true;
        case 'l':
            logger_set_level(std::atoi(argument));
            return true;
        default:
            return false;
    }
}

bool shared_options_missing(const socket_config& socket, const char* streamname) {
    if (socket.ip_address[0] == '\0' || socket.port == 0 || streamname[0] == '\0') {
        logger_log(LOG_FATAL, "Missing ip address, port or stream name");
        return true;
    }
    return false;
}
