// SPDX-License-Identifier: MIT
#include "audio/backends/jack_client.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <system_error>
#include <thread>

#include "common/logger.hpp"

namespace {

// libjack cancels its thread for the server's notifications asynchronously when it closes a
// client. A cancel that lands while that thread handles another client's arrival or departure
// leaves a lock of the library held, and the close then waits for it for ever. A server that
// is shutting down does both at once: it tells this client of the others' departure while it
// shuts it down. A close is therefore given this long, on a thread of its own; the library's
// lock on opening clients stays held while it lasts, so no client is opened meanwhile.
constexpr std::chrono::seconds close_limit{5};
std::atomic<bool> close_pending{false};

}  // namespace

jack_client_t* jack_client_open_named(const char* device, const char* fallback) {
    const char* client_name = device != nullptr && device[0] != '\0' ? device : fallback;
    if (jack_close_pending()) {
        logger_log(LOG_ERROR,
                   "%s: could not open jack client %s: the JACK library has not finished closing "
                   "the last one",
                   "jack_open", client_name);
        return nullptr;
    }
    jack_client_t* client = jack_client_open(client_name, JackNullOption, nullptr);
    if (client == nullptr) {
        // libjack picks the server named by JACK_DEFAULT_SERVER, or its default one.
        const char* server = std::getenv("JACK_DEFAULT_SERVER");
        logger_log(
            LOG_ERROR, "%s: could not open jack client %s on the JACK server %s (is it running?)",
            "jack_open", client_name, server != nullptr && server[0] != '\0' ? server : "default");
    }
    return client;
}

bool jack_ports_register(jack_client_t* client, jack_port_t** ports, std::uint32_t count,
                         const char* prefix, unsigned long flags) {
    for (std::uint32_t i = 0; i < count; ++i) {
        char port_name[31];
        std::snprintf(port_name, sizeof port_name, "%s_%u", prefix, i + 1);
        ports[i] = jack_port_register(client, port_name, JACK_DEFAULT_AUDIO_TYPE, flags, 0);
        if (ports[i] == nullptr) {
            logger_log(LOG_ERROR, "%s: impossible to set jack port for channel %d", "jack_start",
                       static_cast<int>(i));
            return false;
        }
    }
    return true;
}

// Audio ports only: a MIDI bridge's physical ports would be listed too, and connecting an
// audio port to one fails.
void jack_ports_connect_physical(jack_client_t* client, jack_port_t* const* ports,
                                 std::uint32_t count, bool capture) {
    const char* name = "jack_start";
    const char* kind = capture ? "capture" : "playback";
    const char** physical =
        jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                       JackPortIsPhysical | (capture ? JackPortIsOutput : JackPortIsInput));
    std::uint32_t i = 0;
    for (; physical != nullptr && physical[i] != nullptr && i < count; ++i) {
        const char* own = jack_port_name(ports[i]);
        if (jack_connect(client, capture ? physical[i] : own, capture ? own : physical[i]) == 0) {
            logger_log(LOG_DEBUG, "%s: channel %d autoconnected", name, static_cast<int>(i));
        } else {
            logger_log(LOG_WARNING, "%s: could not autoconnect channel %d %s %s", name,
                       static_cast<int>(i), capture ? "from" : "to", physical[i]);
        }
    }
    if (physical == nullptr) {
        logger_log(LOG_WARNING, "%s: could not autoconnect channels: no physical %s port", name,
                   kind);
    } else if (i < count) {
        logger_log(LOG_WARNING, "%s: no physical %s port left for channels %u to %u", name, kind, i,
                   count - 1);
    }
    jack_free(physical);
}

int jack_close_within(std::function<int()> close, std::chrono::milliseconds limit) {
    std::promise<int> closed;
    std::future<int> result = closed.get_future();
    close_pending.store(true, std::memory_order_release);
    try {
        std::thread([close, closed = std::move(closed)]() mutable {
            const int code = close();
            close_pending.store(false, std::memory_order_release);
            closed.set_value(code);
        }).detach();
    } catch (const std::system_error&) {
        close_pending.store(false, std::memory_order_release);
        return close();  // no thread to spare: closed here, however long it takes
    }
    return result.wait_for(limit) == std::future_status::ready ? result.get() : -ETIMEDOUT;
}

bool jack_close_pending() {
    return close_pending.load(std::memory_order_acquire);
}

int jack_client_end(jack_client_t* client, bool shut_down) {
    const char* name = "jack_close";
    int result = shut_down ? 0 : jack_deactivate(client);
    if (result != 0) {
        logger_log(LOG_FATAL, "%s: jack_deactivate failed with error %d", name, result);
    }
    // From here on no process callback runs: the client is inactive, or its server is gone.
    result = jack_close_within([client] { return jack_client_close(client); }, close_limit);
    if (result == -ETIMEDOUT) {
        logger_log(LOG_ERROR,
                   "%s: the JACK library has not closed the client within %lld s: it is left "
                   "open, and no other client can be opened until it is closed",
                   name,
                   static_cast<long long>(
                       std::chrono::duration_cast<std::chrono::seconds>(close_limit).count()));
        return -EDEADLK;
    }
    if (result != 0 && !shut_down) {
        logger_log(LOG_FATAL, "%s: jack_client_close failed with error %d", name, result);
    }
    return shut_down ? 0 : result;
}
