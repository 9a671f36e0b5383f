// SPDX-License-Identifier: MIT
#pragma once

#include <jack/jack.h>

#include <chrono>
#include <cstdint>
#include <functional>

// What the JACK playback and capture backends share: a client's opening, its ports, their
// connections to the server's physical ports and its closing, each with its log lines. Called
// on the thread that opens and closes the backend.

// Opens the client called `device` (`fallback` when it is empty) on the server that libjack
// picks (JACK_DEFAULT_SERVER, or its default one); null, after a line that names the client and
// the server, when there is none.
[[nodiscard]] jack_client_t* jack_client_open_named(const char* device, const char* fallback);

// Registers `count` audio ports, "<prefix>_1" to "<prefix>_<count>", with `flags`, into
// `ports`; false, after the line naming the channel, when one cannot be registered.
[[nodiscard]] bool jack_ports_register(jack_client_t* client, jack_port_t** ports,
                                       std::uint32_t count, const char* prefix,
                                       unsigned long flags);

// Connects the ports in order to the server's physical audio ports: a playback client's to its
// physical inputs, a capture client's from its physical outputs. A channel left without one
// (there are fewer, or a connection fails) is a warning: it plays or captures on its own port.
void jack_ports_connect_physical(jack_client_t* client, jack_port_t* const* ports,
                                 std::uint32_t count, bool capture);

// Deactivates and closes the client: jack_client_close's result. A client that the server has
// shut down (`shut_down`) only has its own resources left: the calls to the server fail, and
// say nothing new, so they are made quietly and the result is 0. A close that libjack has not
// finished within a few seconds is left to finish on its own: -EDEADLK, after a line that says
// so, for it may never finish, and no client can be opened while it lasts.
int jack_client_end(jack_client_t* client, bool shut_down);

// Runs `close` on a thread of its own and waits `limit` at most for its result: -ETIMEDOUT
// when it has not returned by then. jack_close_pending() is true while it runs, and a client
// is not opened meanwhile.
int jack_close_within(std::function<int()> close, std::chrono::milliseconds limit);
bool jack_close_pending();
