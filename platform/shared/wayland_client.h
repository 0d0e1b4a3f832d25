// The Wayland client library, for the backends that talk to a compositor (wayland, gnome): its
// functions and libxkbcommon's, loaded at run time, the glue generated from our protocol
// descriptions (which calls the library through the same table), and the waits on a connection.
#pragma once

#include <wayland-client-core.h>

#include <cstdint>

#include "shared/layout.h"

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

extern wl_functions wl;  // filled by wl_load

// Loads libwayland-client and libxkbcommon and fills the tables, once; false, with why set, when
// either or a function needed is missing.
bool wl_load(const char **why);

// libwayland-client's last complaint (it would print them on standard error), or an empty string.
const char *wl_complaint();

// The generated glue calls libwayland-client's proxy functions by their own names: through the
// table, as the library is not linked.
#define wl_proxy_marshal_flags wl.proxy_marshal_flags
#define wl_proxy_add_listener wl.proxy_add_listener
#define wl_proxy_get_version wl.proxy_get_version
#define wl_proxy_destroy wl.proxy_destroy
#define wl_proxy_set_user_data wl.proxy_set_user_data
#define wl_proxy_get_user_data wl.proxy_get_user_data

#include "wayland-core-client.h"

// Milliseconds of a monotonic clock: every request of a device must share one clock.
uint32_t wl_now();

// A round trip on display: what was sent has been handled and its events read. It waits at most
// ms, less at a stop signal or past the ending's grace; false when it did not come back in time.
bool wl_roundtrip_on(wl_display *display, unsigned ms);

// Reads and handles what the compositor has sent on display by now, without waiting for more.
void wl_take_pending(wl_display *display);
