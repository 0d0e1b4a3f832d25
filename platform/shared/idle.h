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

// What a backend has sent mutter and not yet seen given to the windows.
struct idle_watch {
  uint64_t sent_at;  // when the last event was sent, on mutter_ns's clock
  bool unconfirmed;  // events were sent that mutter has not been seen to give the windows since
  bool unreadable;   // the idle monitor cannot be read: replies follow what mutter answered
};

// Records an event sent now.
void idle_sent(idle_watch *w);

// Waits until mutter's main loop has given the windows every event sent: its idle monitor shows input
// given on after the last and none for 24 ms since, for 1 s at most; each call waits at most call_ms.
// A monitor that cannot be read, or no such quiet in time, is noted for -v (who names the compositor)
// and ends the wait. idle_wait::no_answer or stopped when the wait could not end so; else passed.
idle_wait idle_await(sd_bus *bus, idle_watch *w, unsigned call_ms, const char *who);
