// SPDX-License-Identifier: MIT
#pragma once

// A request to stop the program the normal way, made by a signal handler and seen by every wait
// that could otherwise last for ever (a FIFO whose reader never comes), so that the first
// signal ends it with its output finished.

// Makes the request; async-signal-safe.
void stop_request_make();

// True once the request was made; a plain load.
[[nodiscard]] bool stop_request_made();
