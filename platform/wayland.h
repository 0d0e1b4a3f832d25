// What the Wayland backend's files share: the functions loaded from libwayland-client and
// libxkbcommon when the backend is chosen, the protocol glue generated from our protocol
// descriptions (which calls libwayland-client through the same table), and the connection.
#pragma once

#include <wayland-client-core.h>

#include <cstdint>

#include "cg_control.h"
#include "layout.h"

// The functions used from libwayland-client.
struct wl_functions {
  decltype(&wl_display_connect) display_connect;
  decltype(&wl_display_disconnect) display_disconnect;
  decltype(&wl_display_roundtrip) display_roundtrip;
  decltype(&wl_display_dispatch_pending) display_dispatch_pending;
  decltype(&wl_display_prepare_read) display_prepare_read;
  decltype(&wl_display_read_events) display_read_events;
  decltype(&wl_display_cancel_read) display_cancel_read;
  decltype(&wl_display_flush) display_flush;
  decltype(&wl_display_get_fd) display_get_fd;
  decltype(&wl_display_get_error) display_get_error;
  decltype(&wl_proxy_marshal_flags) proxy_marshal_flags;
  decltype(&wl_proxy_add_listener) proxy_add_listener;
  decltype(&wl_proxy_get_version) proxy_get_version;
  decltype(&wl_proxy_destroy) proxy_destroy;
  decltype(&wl_proxy_set_user_data) proxy_set_user_data;
  decltype(&wl_proxy_get_user_data) proxy_get_user_data;
};

extern wl_functions wl;  // filled when the backend is first chosen

// Loads libwayland-client and libxkbcommon and fills the tables, once; false, with why set, when
// either or a function needed is missing.
bool wl_load(const char **why);

// The generated glue calls libwayland-client's proxy functions by their own names: through the
// table, as the library is not linked.
#define wl_proxy_marshal_flags wl.proxy_marshal_flags
#define wl_proxy_add_listener wl.proxy_add_listener
#define wl_proxy_get_version wl.proxy_get_version
#define wl_proxy_destroy wl.proxy_destroy
#define wl_proxy_set_user_data wl.proxy_set_user_data
#define wl_proxy_get_user_data wl.proxy_get_user_data

#include "fake-input-client.h"
#include "virtual-keyboard-client.h"
#include "wayland-core-client.h"
#include "wlr-virtual-pointer-client.h"
#include "xdg-output-client.h"

extern wl_display *wl_connection;  // the compositor, while connected
extern wl_seat *wl_the_seat;       // the seat the virtual devices belong to

// Milliseconds of a monotonic clock: every request of a device must share one clock.
uint32_t wl_now();

// A round trip to the compositor: what was sent has been handled and its events read. It waits at
// most ms, less at a stop signal or past the ending's grace; false, when the connection is gone
// too, when it did not come back in time.
bool wl_roundtrip(unsigned ms);

// The same on another connection than the backend's (the GNOME backend's, for the keymap).
bool wl_roundtrip_on(wl_display *display, unsigned ms);

// Reads and handles what the compositor has sent on display by now, without waiting for more.
void wl_take_pending(wl_display *display);

// The seat's capabilities (wl_seat's pointer 1, keyboard 2) as the compositor last told them.
extern uint32_t wl_seat_capabilities;

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

// The seat's keyboard and the virtual keyboard (wayland_keyboard.cc).

// Asks the seat for its keyboard, to hear its keymap and follow it.
void wk_watch_seat(uint32_t capabilities);

// Creates the virtual keyboard with the keymap the compositor gives a new keyboard, or, when it gives
// none, the seat's, else one made from the default rules. False, with why set, when it cannot.
bool wk_start(zwp_virtual_keyboard_manager_v1 *manager, const char **why);

// Presses or releases a key by its evdev code, and sends the modifiers when it changed them.
void wk_key(unsigned code, bool down);

// Types the text a keyboard event carries: a keymap with its characters, the key presses, then the
// seat's keymap again.
void wk_type(const cg_record &r);

// The seat's keymap as its keyboard last heard it (for the keys that KWin's fake input presses),
// its current layout and whether Caps Lock is locked (-1: not heard, as the seat tells the keyboard
// with the focus alone); null when it has none.
xkb_keymap *wk_seat_keymap(xkb_layout_index_t *layout, int *caps_locked);

// Waits until the virtual keyboard may press its first key, if it is still new.
void wk_settle();

// Destroys the virtual keyboard and forgets the keymaps.
void wk_stop();
