// SPDX-License-Identifier: MIT
#include "tests/support/network_namespace.hpp"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace test_support {

std::optional<std::string> in_network_namespace(const std::function<std::string()>& scenario) {
    int report[2];
    if (geteuid() != 0 || pipe(report) != 0) {
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        std::string failure = unshare(CLONE_NEWNET) == 0 ? scenario() : "unshare refused";
        if (write(report[1], failure.data(), failure.size()) < 0) {
            _exit(2);
        }
        _exit(failure.empty() ? 0 : 1);
    }
    close(report[1]);
    std::string failure;
    char chunk[512];
    for (ssize_t got; (got = read(report[0], chunk, sizeof chunk)) > 0;) {
        failure.append(chunk, static_cast<std::size_t>(got));
    }
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (failure == "unshare refused") {
        return std::nullopt;
    }
    if (failure.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        failure = "the scenario's process ended abnormally";
    }
    return failure;
}

bool set_loopback_up(bool up, int mtu) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool done = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (done) {
        request.ifr_flags =
            static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
        done = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (done && mtu > 0) {
        request.ifr_mtu = mtu;
        done = ioctl(fd, SIOCSIFMTU, &request) == 0;
    }
    close(fd);
    return done;
}

}  // namespace test_support
