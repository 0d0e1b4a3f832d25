#include "wayland/connection.h"

#include <ctime>

#include "host.h"

wl_display *wl_connection;
wl_seat *wl_the_seat;
uint32_t wl_seat_capabilities;
bool wl_lost;

namespace {

uint64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

}  // namespace

bool wl_roundtrip(unsigned ms) { return !wl_lost && wl_roundtrip_on(wl_connection, ms); }

uint64_t wl_ready_at(bool seat_had_one) { return seat_had_one ? 0 : monotonic_ns() + wl_settle_ns; }

void wl_settle(uint64_t *ready_at) {
  uint64_t now = monotonic_ns();
  if (*ready_at > now) host_sleep(static_cast<unsigned>((*ready_at - now + 999999) / 1000000));
  *ready_at = 0;
}
