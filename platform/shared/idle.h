// mutter's idle monitor on the session bus, which says when its main loop last gave input to the
// windows: how the backends that reach mutter know that windows have what was sent.
#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <cstdint>

// Now on mutter's clock, the one its idle monitor counts on: CLOCK_MONOTONIC.
uint64_t mutter_ns();

enum class idle_wait {
  passed,      // input was given to the windows after sent_at, and none for quiet_ms since
  not_quiet,   // bound_ms went by without such a quiet
  unreadable,  // the idle monitor cannot be read; why says why
  no_answer,   // mutter did not answer within call_ms, or the bus closed: it is lost
  stopped,     // a stop signal cut the wait short
};

// Waits until mutter's idle monitor says that its main loop gave input to the windows at or after
// sent_at (mutter_ns) and none for quiet_ms since, for at most bound_ms; each call on bus waits at
// most call_ms. mutter resets the monitor in the main-loop call that gives an event to the windows.
idle_wait mutter_wait_quiet(sd_bus *bus, uint64_t sent_at, unsigned quiet_ms, unsigned bound_ms,
                            unsigned call_ms, char *why, size_t n);
