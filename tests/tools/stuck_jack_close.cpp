// SPDX-License-Identifier: MIT
// Preloaded into a program under test: jack_client_close never returns, as when libjack is
// left holding a lock of its own, which the real library does only now and then.
#include <jack/jack.h>
#include <unistd.h>

extern "C" int jack_client_close(jack_client_t*) {
    for (;;) {
        pause();
    }
}
