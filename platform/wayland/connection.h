// The Wayland backend's connection, which its files share: the compositor and its seat, whether the
// connection broke, the round trip on it, and when a new device may send its first event. It calls
// neither the backend nor the keyboard.
#pragma once

#include <cstdint>

#include "shared/wayland_client.h"
// The protocols of input that the compositors offer, beside the core one.
#include "fake-input-client.h"
#include "virtual-keyboard-client.h"
#include "wlr-virtual-pointer-client.h"
#include "xdg-output-client.h"

extern wl_display *wl_connection;      // the compositor, while connected
extern wl_seat *wl_the_seat;           // the seat the virtual devices belong to
extern uint32_t wl_seat_capabilities;  // the seat's (wl_seat's pointer 1, keyboard 2), as last told
extern bool wl_lost;                   // the connection broke: nothing more is sent

// A round trip to the compositor: what was sent has been handled and its events read. It waits at
// most ms, less at a stop signal or past the ending's grace; false, when the connection is gone
// too, when it did not come back in time.
bool wl_roundtrip(unsigned ms);

// A device that gives the seat a pointer or keyboard it had none of makes each application bind
// one, and the compositor re-enter the focused window; an application may lose events that follow
// at once (Chromium lost keys for up to 30 ms on an idle machine, 50 ms with both cores busy, and
// its first scrolls likewise). Such a device's first event waits this long after it was made.
constexpr uint64_t wl_settle_ns = 150'000'000;

// When a new device may send its first event: at once (0) when the seat had a device of its kind
// before it, else now plus wl_settle_ns.
uint64_t wl_ready_at(bool seat_had_one);

// Waits until *ready_at (CLOCK_MONOTONIC nanoseconds), if it is set, and clears it.
void wl_settle(uint64_t *ready_at);
