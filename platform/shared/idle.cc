#include "shared/idle.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "host.h"
#include "shared/bus.h"

uint64_t mutter_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

namespace {

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

}  // namespace

idle_wait mutter_wait_quiet(sd_bus *bus, uint64_t sent_at, unsigned quiet_ms, unsigned bound_ms,
                            unsigned call_ms, char *why, size_t n) {
  uint64_t until = host_clock_ns() + uint64_t{bound_ms} * 1000000u;
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
