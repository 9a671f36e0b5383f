// SPDX-License-Identifier: MIT
#include "common/descriptor.hpp"

#include <fcntl.h>
#include <unistd.h>

int descriptor_above_zero(int fd) {
    if (fd != 0) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}
