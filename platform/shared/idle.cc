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

idle_wait mutter_wait_quiet(sd_bus *bus, uint64_t sent_at, unsigned quiet_ms, unsigned bound_ms,
                            unsigned call_ms, char *why, size_t n) {
  uint64_t until = host_clock_ns() + uint64_t{bound_ms} * 1000000u;
  for (;;) {
    sd_bus_message *m =
        bus_call(bus, call_ms, why, n, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                 "org.gnome.Mutter.IdleMonitor", "GetIdletime", nullptr);
    uint64_t answered = mutter_ns(), idle_ms = 0;
    bool read = m != nullptr && sd.read(m, "t", &idle_ms) > 0;
    if (m != nullptr) sd.message_unref(m);
    if (!read) {
      if (host_stop_signal() != 0 && !host_ending()) return idle_wait::stopped;
      if (m == nullptr && (strstr(why, "no answer") != nullptr || strstr(why, "closed") != nullptr))
        return idle_wait::no_answer;
      if (m != nullptr) snprintf(why, n, "no idle time in its answer");
      return idle_wait::unreadable;
    }
    // The last input mutter gave on came at most idle_ms before the answer (it counts whole ms).
    uint64_t last = answered - (idle_ms < answered / 1000000u ? idle_ms * 1000000u : 0);
    if (last >= sent_at && idle_ms >= quiet_ms) return idle_wait::passed;
    if (host_clock_ns() >= until) return idle_wait::not_quiet;
    // Not yet past the last event, or not quiet for long enough yet.
    unsigned wait = last < sent_at ? 1 : quiet_ms - static_cast<unsigned>(idle_ms);
    if (!host_sleep(wait)) return idle_wait::stopped;
  }
}
