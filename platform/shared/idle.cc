#include "shared/idle.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "backend.h"
#include "host.h"
#include "shared/bus.h"

uint64_t mutter_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

namespace {

// mutter answers an event once it has handed the event to its input thread, which passes it back to
// the main loop for the clients later; its idle monitor is reset in the same main-loop call that
// gives an event to the clients. So a reply waits until the idle monitor says the main loop has taken
// input since the last event was sent, and none for this long: with every event taken, events still
// queued would mean the input thread went this long without running while it had work. Measured
// with two busy loops beside mutter on two cores (1,746 gaps between the moves of a burst, as a
// window received them), the longest pause was 8 ms; three times that.
constexpr unsigned quiet_ms = 24;
// How long a reply waits for that quiet at most: a desktop that someone keeps using is never quiet.
constexpr unsigned quiet_bound_ms = 1000;

// mutter's idle time in ms into *idle_ms, and when it answered (mutter_ns) into *answered: passed
// when read, else why not.
idle_wait read_idle(sd_bus *bus, unsigned call_ms, uint64_t *idle_ms, uint64_t *answered, char *why,
                    size_t n) {
  sd_bus_message *m =
      bus_call(bus, call_ms, why, n, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
               "org.gnome.Mutter.IdleMonitor", "GetIdletime", nullptr);
  *answered = mutter_ns();
  bool read = m != nullptr && sd.read(m, "t", idle_ms) > 0;
  if (m != nullptr) sd.message_unref(m);
  if (read) return idle_wait::passed;
  if (host_stop_signal() != 0 && !host_ending()) return idle_wait::stopped;
  if (m != nullptr) {
    snprintf(why, n, "no idle time in its answer");
    return idle_wait::unreadable;
  }
  return strstr(why, "no answer") != nullptr || strstr(why, "closed") != nullptr ? idle_wait::no_answer
                                                                                 : idle_wait::unreadable;
}

// Waits until the idle monitor says that the main loop gave input to the windows at or after sent_at
// and none for quiet_ms since, for at most quiet_bound_ms.
idle_wait wait_quiet(sd_bus *bus, uint64_t sent_at, unsigned call_ms, char *why, size_t n) {
  uint64_t until = host_clock_ns() + uint64_t{quiet_bound_ms} * 1000000u;
  for (;;) {
    uint64_t idle_ms = 0, answered = 0;
    if (idle_wait r = read_idle(bus, call_ms, &idle_ms, &answered, why, n); r != idle_wait::passed) return r;
    // The last input mutter gave on came at most idle_ms before the answer (it counts whole ms).
    uint64_t last = answered - (idle_ms < answered / 1000000u ? idle_ms * 1000000u : 0);
    if (last >= sent_at && idle_ms >= quiet_ms) return idle_wait::passed;
    if (host_clock_ns() >= until) return idle_wait::not_quiet;
    // Not yet past the last event, or not quiet for long enough yet.
    unsigned wait = last < sent_at ? 1 : quiet_ms - static_cast<unsigned>(idle_ms);
    if (!host_sleep(wait)) return idle_wait::stopped;
  }
}

}  // namespace

void idle_sent(idle_watch *w) {
  w->sent_at = mutter_ns();
  w->unconfirmed = true;
}

idle_wait idle_await(sd_bus *bus, idle_watch *w, unsigned call_ms, const char *who) {
  if (!w->unconfirmed || w->unreadable) return idle_wait::passed;
  char why[300];
  idle_wait r = wait_quiet(bus, w->sent_at, call_ms, why, sizeof why);
  if (r == idle_wait::not_quiet)
    note_delivery(
        "S: %s was not quiet for %u ms within %u ms: the reply may come before windows have every event", who,
        quiet_ms, quiet_bound_ms);
  if (r == idle_wait::unreadable) {
    note_delivery(
        "S: %s's idle monitor cannot be read (%.200s): replies come once mutter has taken the events, "
        "which may be before windows have them",
        who, why);
    w->unreadable = true;
  }
  if (r == idle_wait::no_answer || r == idle_wait::stopped) return r;
  w->unconfirmed = false;
  return idle_wait::passed;
}
