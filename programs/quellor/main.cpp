// SPDX-License-Identifier: MIT
// quellor: captures PCM and streams it as VBAN audio packets to one peer.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "audio/audio.hpp"
#include "audio/backend_registry.hpp"
#include "common/logger.hpp"
#include "common/udp_socket.hpp"
#include "programs/common/ping_answer.hpp"
#include "programs/quellor/emitter_options.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

using clock = std::chrono::steady_clock;

// The longest wait for the input or a ping; the loop then waits again.
constexpr int wait_ms = 1000;

// The time an input that is ahead of real time (a file) leaves between datagrams: 200,000 a
// second, more than the densest stream VBAN carries in real time (192 kHz, a frame a packet),
// and what one receiver taking a datagram a call keeps up with. Sent as fast as bursts go, a
// file would leave at millions a second, and the receiver would lose most of it.
constexpr std::int64_t unpaced_spacing_ns = 5'000;

std::int64_t nanoseconds(clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

}  // namespace

int main(int argc, char* argv[]) {
    logger_set_standard_output(false);
    std::printf("%s version %s\n\n", argc > 0 && argv[0] != nullptr ? argv[0] : "quellor",
                VBAN_TOOLS_VERSION_TEXT);

    emitter_config config{};
    // A failed start-up step ends the program at once and leaves what earlier steps built to
    // the system; static storage keeps those objects reachable for leak checkers meanwhile.
    static socket_handle* socket = nullptr;
    static audio_handle* audio = nullptr;
    static ping_answer pings{};
    // The header of the stream, stamped for every packet; the samples of one read; the
    // packets made of them, one after the other, as a burst goes out.
    std::uint8_t header[VBAN_HEADER_SIZE] = {};
    static std::uint8_t samples[SOCKET_BURST_BYTES];
    static std::uint8_t packets[SOCKET_BURST_BYTES];

    int result = get_options(&config, argc, argv);
    if (result != 0) {
        return result == OPTIONS_VERSION_ASKED ? 0 : result;
    }
    if (!shared_resolve_peer(config.peer, &config.socket)) {
        return 1;
    }
    result = socket_init(&socket, &config.socket);
    if (result != 0) {
        return result;
    }
    result = audio_init(&audio, &config.audio);
    if (result != 0) {
        return result;
    }
    result = audio_set_map_config(audio, &config.map);
    if (result != 0) {
        return result;
    }
    result = audio_set_stream_config(audio, &config.stream);
    if (result == -ERANGE) {
        return 1;  // a -r that the device refuses is a mistake of the command line
    }
    if (result != 0) {
        return result;
    }

    stream_config sent{};
    if (audio_get_stream_config(audio, &sent) != 0 ||
        packet_init_header(header, &sent, config.streamname) != 0) {
        return -22;
    }
    std::int32_t payload_size = packet_get_max_payload_size(header);
    if (payload_size < 0) {
        return payload_size;
    }
    // A peer is told the backend and the device, never a path of this machine.
    char device[sizeof(service_identity{}.device_name)];
    audio_backend_describe(config.audio.backend, config.audio.device, device, sizeof device);
    result =
        ping_answer_init(&pings, {VBAN_SERVICE_TRANSMITTER, sent.sample_rate, 0, "quellor", device,
                                  config.socket.ip_address, config.socket.port, config.streamname});
    if (result != 0) {
        return result;
    }

    const std::size_t frame = bit_fmt_frame_size(sent.bit_fmt, sent.nb_channels);
    const auto largest = static_cast<std::size_t>(payload_size);
    const std::size_t stride = VBAN_HEADER_SIZE + largest;
    // An input that has more than a packet ready (a file, a pipe that is ahead) is read and
    // sent a burst at a time; one that delivers as it goes (a capture device), a packet at a
    // time, each as soon as it is whole.
    const std::size_t most = audio_reads_what_is_ready(audio) ? socket_burst_capacity(stride) : 1;
    std::int32_t status = 0;
    std::uint32_t packets_made = 0;
    std::uint32_t unsent = 0;       // dropped by a send error the stream lived through
    std::size_t carried = 0;        // bytes of a frame not yet whole, at the start of the samples
    std::int64_t burst_due_ns = 0;  // the earliest the next burst leaves
    while (true) {
        // The input and the socket together: a peer that discovers devices may ping the port
        // this stream leaves from, also while the input is quiet (a pipe without a writer, a
        // device that has not started).
        const std::int32_t ready = audio_wait_input(audio, socket_descriptor(socket), wait_ms);
        if ((ready & AUDIO_WAIT_OTHER) != 0) {
            ping_answer_pending(&pings, socket, nanoseconds(clock::now()));
        }
        if ((ready & AUDIO_WAIT_INPUT) == 0) {
            continue;
        }
        // A pipe's writer may have written part of a frame so far: that part waits at the
        // start of the samples for the rest, and only the input's end drops it.
        const std::int32_t got = audio_read(audio, samples + carried, most * largest - carried);
        if (got < 0) {
            status = got;
            break;
        }
        if (got == 0) {
            if (carried != 0) {
                logger_log(LOG_WARNING,
                           "%s: the input ends inside a frame: its last %zu bytes are dropped",
                           "main", carried);
            }
            logger_log(LOG_INFO, "%s: end of input after %u packets", "main", packets_made);
            break;
        }
        const std::size_t held = carried + static_cast<std::size_t>(got);
        carried = held % frame;
        if (held == carried) {
            continue;
        }
        // Packets of the largest size, the last with what is left.
        const std::size_t bytes = held - carried;
        const std::size_t count = (bytes + largest - 1) / largest;
        const std::size_t last = bytes - (count - 1) * largest;
        for (std::size_t i = 0; i < count && status == 0; ++i) {
            const std::size_t size = i + 1 == count ? last : largest;
            std::uint8_t* packet = packets + i * stride;
            if (packet_set_new_content(header, size) != 0) {
                status = -22;
                break;
            }
            std::memcpy(packet, header, VBAN_HEADER_SIZE);
            std::memcpy(packet + VBAN_HEADER_SIZE, samples + i * largest, size);
            status = packet_check(config.streamname, packet, VBAN_HEADER_SIZE + size);
        }
        if (status != 0) {
            logger_log(LOG_ERROR, "%s: packet prepared is invalid", "main");
            status = -22;
            break;
        }
        if (count > 1) {
            const std::int64_t now = nanoseconds(clock::now());
            if (burst_due_ns > now) {
                const timespec due{static_cast<time_t>(burst_due_ns / 1'000'000'000),
                                   static_cast<long>(burst_due_ns % 1'000'000'000)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            }
            burst_due_ns =
                std::max(burst_due_ns, now) + static_cast<std::int64_t>(count) * unpaced_spacing_ns;
        }
        // The network may be away for a while (a link going down, a firewall): a packet that
        // fails so is lost, and the stream goes on with the next.
        for (std::size_t done = 0; done < count;) {
            const std::int32_t out = socket_write_burst(socket, packets + done * stride, stride,
                                                        count - done, VBAN_HEADER_SIZE + last);
            done += static_cast<std::size_t>(out > 0 ? out : 0);
            if (done == count) {
                break;
            }
            if (out < 0 || !socket_send_error_is_transient(socket_last_error(socket))) {
                status = -1;
                break;
            }
            ++unsent;
            ++done;
        }
        packets_made += static_cast<std::uint32_t>(count);
        if (status != 0) {
            break;
        }
        std::memmove(samples, samples + bytes, carried);
    }

    // The stream went on through the failed sends, but a run that lost packets did not do
    // what it was asked: its status says so.
    if (status == 0 && unsent != 0) {
        logger_log(LOG_ERROR, "%s: %u of %u packets could not be sent", "main", unsent,
                   packets_made);
        status = -1;
    }
    audio_release(&audio);
    socket_release(&socket);
    return status;
}
