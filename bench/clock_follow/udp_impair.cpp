// SPDX-License-Identifier: MIT
// udp_impair --listen PORT --to IP:PORT [--delay-min MS] [--delay-max MS] [--loss P]
//            [--dup P] [--swap P] [--seed N] [--fifo PRIORITY] [--log FILE]
//
// A user-space UDP relay that impairs a flow the way a busy network would, for machines whose
// kernel has no netem. Each datagram received on 127.0.0.1:PORT is, in this order of draws:
// lost with probability --loss; otherwise forwarded to IP:PORT after a delay drawn uniformly
// from [--delay-min, --delay-max] ms (default 1..3, i.e. 2 +- 1 ms); duplicated with
// probability --dup (the copy with a delay of its own); and with probability --swap held back
// until just after the next datagram goes (but never past 100 ms), which swaps the two. The
// draws come from one generator seeded with --seed, so two relays with the same settings
// treat the n-th datagram of their flows alike.
//
// Timing: a datagram's delay counts from the kernel's receive stamp (SO_TIMESTAMPNS). They
// wait in a priority queue ordered by due time; the relay sleeps on ppoll until shortly
// before the first is due and then on an absolute clock_nanosleep to its due time
// (CLOCK_MONOTONIC, timer slack 1 us). At the end (SIGINT, SIGTERM) it prints counts and
// the measured delay (send minus arrival) and lateness (send minus due) percentiles on
// standard error; --log FILE gets one line a forwarded datagram: "arrival_ns sent_ns due_ns".
// --fifo runs the relay under SCHED_FIFO at that priority, as a real-time JACK server's own
// threads run, so that a loaded machine delays it less.

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t slot_count = 4096;
constexpr std::size_t slot_bytes = 2048;
constexpr std::size_t burst = 64;               // datagrams read per wake-up, at most
constexpr std::int64_t early_wake_ns = 300000;  // ppoll wakes this long before a due time
constexpr std::int64_t swap_hold_max_ns = 100000000;
constexpr std::int64_t swap_gap_ns = 100000;  // how long after the next the held one goes
constexpr std::size_t measured_max = std::size_t{1} << 21;

struct settings {
    int listen_port = 0;
    sockaddr_in to{};
    double delay_min_ms = 1.0;
    double delay_max_ms = 3.0;
    double loss = 0.0;
    double dup = 0.0;
    double swap = 0.0;
    std::uint64_t seed = 1;
    int fifo = 0;
    const char* log = nullptr;
};

struct pending {
    std::int64_t due_ns;
    std::uint64_t order;  // ties go in arrival order
    std::int64_t arrival_ns;
    std::uint32_t slot;
    bool operator>(const pending& other) const {
        return due_ns != other.due_ns ? due_ns > other.due_ns : order > other.order;
    }
};

struct counts {
    std::uint64_t received = 0;
    std::uint64_t lost = 0;
    std::uint64_t duplicated = 0;
    std::uint64_t swapped = 0;
    std::uint64_t sent = 0;
    std::uint64_t overflow = 0;
    std::uint64_t send_errors = 0;
};

std::atomic<bool> stop{false};

void on_signal(int) {
    stop.store(true);
}

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

timespec to_timespec(std::int64_t ns) {
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

bool parse(int argc, char* argv[], settings& s) {
    static const option options[] = {{"listen", required_argument, nullptr, 'l'},
                                     {"to", required_argument, nullptr, 't'},
                                     {"delay-min", required_argument, nullptr, 'a'},
                                     {"delay-max", required_argument, nullptr, 'b'},
                                     {"loss", required_argument, nullptr, 'L'},
                                     {"dup", required_argument, nullptr, 'D'},
                                     {"swap", required_argument, nullptr, 'S'},
                                     {"seed", required_argument, nullptr, 's'},
                                     {"fifo", required_argument, nullptr, 'f'},
                                     {"log", required_argument, nullptr, 'g'},
                                     {nullptr, 0, nullptr, 0}};
    bool have_to = false;
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        switch (c) {
            case 'l':
                s.listen_port = std::atoi(optarg);
                break;
            case 't': {
                const std::string arg = optarg;
                const auto colon = arg.rfind(':');
                s.to.sin_family = AF_INET;
                s.to.sin_port = htons(static_cast<std::uint16_t>(
                    std::atoi(arg.substr(colon == std::string::npos ? 0 : colon + 1).c_str())));
                have_to = colon != std::string::npos &&
                          inet_pton(AF_INET, arg.substr(0, colon).c_str(), &s.to.sin_addr) == 1;
                break;
            }
            case 'a':
                s.delay_min_ms = std::atof(optarg);
                break;
            case 'b':
                s.delay_max_ms = std::atof(optarg);
                break;
            case 'L':
                s.loss = std::atof(optarg);
                break;
            case 'D':
                s.dup = std::atof(optarg);
                break;
            case 'S':
                s.swap = std::atof(optarg);
                break;
            case 's':
                s.seed = std::strtoull(optarg, nullptr, 10);
                break;
            case 'f':
                s.fifo = std::atoi(optarg);
                break;
            case 'g':
                s.log = optarg;
                break;
            default:
                return false;
        }
    }
    const auto probability = [](double p) { return p >= 0.0 && p <= 1.0; };
    if (s.listen_port <= 0 || s.listen_port > 65535 || !have_to || s.to.sin_port == 0) {
        std::fprintf(stderr, "udp_impair: --listen PORT and --to IP:PORT are needed\n");
        return false;
    }
    if (s.delay_min_ms < 0.0 || s.delay_max_ms < s.delay_min_ms || s.delay_max_ms > 1000.0 ||
        !probability(s.loss) || !probability(s.dup) || !probability(s.swap)) {
        std::fprintf(stderr,
                     "udp_impair: delays must be 0 <= min <= max <= 1000 ms, probabilities "
                     "within 0..1\n");
        return false;
    }
    return true;
}

// Reads one datagram without waiting; `arrival` gets the moment the kernel took it in, on
// CLOCK_MONOTONIC (the kernel stamps CLOCK_REALTIME: moved over by the clocks' difference now),
// so that a relay that was busy or asleep when it came does not add that time to its delay.
ssize_t receive(int fd, std::array<unsigned char, slot_bytes>& datagram, std::int64_t& arrival) {
    iovec data{datagram.data(), datagram.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t size = recvmsg(fd, &message, MSG_DONTWAIT);
    arrival = now_ns();
    if (size < 0) {
        return size;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            timespec real{};
            clock_gettime(CLOCK_REALTIME, &real);
            const std::int64_t ago = (std::int64_t{real.tv_sec} - stamp.tv_sec) * 1000000000 +
                                     (real.tv_nsec - stamp.tv_nsec);
            // A stamp from the future or from long ago (the clock was set) is not used.
            if (ago >= 0 && ago < 1000000000) {
                arrival = now_ns() - ago;
            }
        }
    }
    return size;
}

double percentile(std::vector<double>& v, double p) {
    if (v.empty()) {
        return 0.0;
    }
    const auto k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

void report(const counts& c, std::vector<double>& delays, std::vector<double>& lateness) {
    std::fprintf(stderr,
                 "udp_impair: received %" PRIu64 ", lost %" PRIu64 ", duplicated %" PRIu64
                 ", swapped %" PRIu64 ", sent %" PRIu64 ", queue full %" PRIu64
                 ", send errors %" PRIu64 "\n",
                 c.received, c.lost, c.duplicated, c.swapped, c.sent, c.overflow, c.send_errors);
    std::fprintf(stderr, "udp_impair: delay ms min %.3f p1 %.3f p50 %.3f p99 %.3f max %.3f\n",
                 percentile(delays, 0), percentile(delays, 1), percentile(delays, 50),
                 percentile(delays, 99), percentile(delays, 100));
    std::fprintf(stderr, "udp_impair: lateness ms p50 %.3f p99 %.3f max %.3f\n",
                 percentile(lateness, 50), percentile(lateness, 99), percentile(lateness, 100));
}

}  // namespace

int main(int argc, char* argv[]) {
    settings s;
    if (!parse(argc, argv, s)) {
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_port = htons(static_cast<std::uint16_t>(s.listen_port));
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&here), sizeof here) != 0) {
        std::perror("udp_impair: bind");
        return 1;
    }
    std::FILE* log = s.log != nullptr ? std::fopen(s.log, "w") : nullptr;
    if (s.log != nullptr && log == nullptr) {
        std::perror("udp_impair: --log");
        return 1;
    }
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (s.fifo > 0) {
        sched_param priority{};
        priority.sched_priority = s.fifo;
        if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) {
            std::perror("udp_impair: --fifo");
            return 1;
        }
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    // Everything the relay needs is allocated here, before the first datagram.
    std::vector<std::array<unsigned char, slot_bytes>> slots(slot_count);
    std::vector<std::uint32_t> slot_size(slot_count, 0);
    std::vector<std::uint32_t> free_slots(slot_count);
    for (std::uint32_t k = 0; k < slot_count; ++k) {
        free_slots[k] = slot_count - 1 - k;
    }
    std::vector<pending> storage;
    storage.reserve(slot_count);
    std::priority_queue<pending, std::vector<pending>, std::greater<>> queue(std::greater<>{},
                                                                             std::move(storage));
    std::vector<double> delays;
    std::vector<double> lateness;
    delays.reserve(measured_max);
    lateness.reserve(measured_max);

    std::mt19937_64 random(s.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto draw_delay_ns = [&] {
        return static_cast<std::int64_t>(
            (s.delay_min_ms + (s.delay_max_ms - s.delay_min_ms) * unit(random)) * 1e6);
    };
    counts c;
    std::uint64_t order = 0;
    bool holding = false;
    pending held{};

    // Copies a datagram into a free slot; -1 when every slot is taken.
    const auto store = [&](const unsigned char* data, std::size_t size) -> std::int64_t {
        if (free_slots.empty()) {
            ++c.overflow;
            return -1;
        }
        const std::uint32_t slot = free_slots.back();
        free_slots.pop_back();
        std::memcpy(slots[slot].data(), data, size);
        slot_size[slot] = static_cast<std::uint32_t>(size);
        return slot;
    };
    const auto schedule = [&](const unsigned char* data, std::size_t size, std::int64_t arrival,
                              std::int64_t due) -> bool {
        const std::int64_t slot = store(data, size);
        if (slot >= 0) {
            queue.push(pending{due, order++, arrival, static_cast<std::uint32_t>(slot)});
        }
        return slot >= 0;
    };
    const auto send_top = [&] {
        const pending p = queue.top();
        queue.pop();
        if (sendto(fd, slots[p.slot].data(), slot_size[p.slot], 0,
                   reinterpret_cast<const sockaddr*>(&s.to), sizeof s.to) < 0) {
            ++c.send_errors;
        } else {
            ++c.sent;
        }
        const std::int64_t sent = now_ns();
        if (delays.size() < measured_max) {
            delays.push_back(static_cast<double>(sent - p.arrival_ns) / 1e6);
            lateness.push_back(static_cast<double>(sent - p.due_ns) / 1e6);
        }
        if (log != nullptr) {
            std::fprintf(log, "%" PRId64 " %" PRId64 " %" PRId64 "\n", p.arrival_ns, sent,
                         p.due_ns);
        }
        free_slots.push_back(p.slot);
    };

    std::array<unsigned char, slot_bytes> datagram{};
    while (!stop.load()) {
        std::int64_t now = now_ns();
        for (std::size_t k = 0; k < slot_count && !queue.empty() && queue.top().due_ns <= now;
             ++k) {
            send_top();
        }
        if (holding && now - held.arrival_ns > swap_hold_max_ns) {
            // No next datagram came: the held one goes on its own.
            queue.push(held);
            holding = false;
        }
        now = now_ns();
        std::int64_t wait = 50000000;  // at most 50 ms without looking at the stop flag
        if (!queue.empty()) {
            wait = std::min(wait, queue.top().due_ns - now);
        }
        if (wait <= 0) {
            continue;
        }
        if (wait <= early_wake_ns) {
            const timespec due = to_timespec(queue.top().due_ns);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            continue;
        }
        pollfd watch{fd, POLLIN, 0};
        const timespec timeout = to_timespec(wait - early_wake_ns);
        if (ppoll(&watch, 1, &timeout, nullptr) <= 0) {
            continue;
        }
        for (std::size_t k = 0; k < burst; ++k) {
            std::int64_t arrival = 0;
            const ssize_t size = receive(fd, datagram, arrival);
            if (size < 0) {
                break;
            }
            ++c.received;
            // Every draw is made for every datagram, so that the n-th datagram meets the same
            // fate in every relay with the same seed, whatever happened before it.
            const bool lose = unit(random) < s.loss;
            const bool duplicate = unit(random) < s.dup;
            const bool hold = unit(random) < s.swap;
            const std::int64_t delay = draw_delay_ns();
            const std::int64_t copy_delay = draw_delay_ns();
            if (lose) {
                ++c.lost;
                continue;
            }
            const auto bytes = static_cast<std::size_t>(size);
            if (holding) {
                // The held datagram goes just after this one: the two are swapped.
                held.due_ns = std::max(held.due_ns, arrival + delay) + swap_gap_ns;
                queue.push(held);
                holding = false;
                ++c.swapped;
                schedule(datagram.data(), bytes, arrival, arrival + delay);
            } else if (const std::int64_t slot = hold ? store(datagram.data(), bytes) : -1;
                       slot >= 0) {
                // It waits, out of the queue, for the next datagram.
                held = pending{arrival + delay, order++, arrival, static_cast<std::uint32_t>(slot)};
                holding = true;
            } else {
                schedule(datagram.data(), bytes, arrival, arrival + delay);
            }
            if (duplicate && schedule(datagram.data(), bytes, arrival, arrival + copy_delay)) {
                ++c.duplicated;
            }
        }
    }
    report(c, delays, lateness);
    if (log != nullptr) {
        std::fclose(log);
    }
    return 0;
}
