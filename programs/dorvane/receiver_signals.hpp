// SPDX-License-Identifier: MIT
#pragma once

// The signals a receiver answers: SIGINT and SIGTERM end it the normal way (its output is
// finished: a recording's header, the named pipe it made removed, the last statistics), even
// while it waits in a blocking call, and a second one ends it at once; SIGUSR1 asks for the
// statistics. The handlers only set flags, which the receive loop reads: a stop cuts a
// blocking call short (EINTR), a request for statistics lets it go on.
void receiver_signals_install();

// True once SIGINT or SIGTERM has come.
[[nodiscard]] bool receiver_stop_requested();

// True when SIGUSR1 has come since the last call.
[[nodiscard]] bool receiver_take_stats_request();
