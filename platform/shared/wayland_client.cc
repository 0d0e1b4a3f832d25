#include "shared/wayland_client.h"

#include <dlfcn.h>
#include <poll.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host.h"
#include "shared/symbols.h"

wl_functions wl;

namespace {

char library_said[200];  // libwayland's last complaint

// libwayland-client prints its complaints on standard error; hidpipe writes nothing unless asked,
// so they are kept for the error message instead.
void keep_complaint(const char *format, va_list ap) {
  vsnprintf(library_said, sizeof library_said, format, ap);
  size_t n = strlen(library_said);
  while (n > 0 && library_said[n - 1] == '\n') library_said[--n] = '\0';
}

bool load(char (&error)[200]) {
  void *client = dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_LOCAL);
  const char *keys_missing = nullptr;
  if (client != nullptr && !xkb_load(&keys_missing)) {
    snprintf(error, sizeof error, "%s", keys_missing);
    return false;
  }
  if (client == nullptr) {
    const char *why = dlerror();
    snprintf(error, sizeof error,
             "cannot load the Wayland libraries (Debian: libwayland-client0, libxkbcommon0): %s",
             why != nullptr ? why : "not found");
    return false;
  }
  bool found = find_symbol(client, "wl_display_connect", &wl.display_connect) &&
               find_symbol(client, "wl_display_disconnect", &wl.display_disconnect) &&
               find_symbol(client, "wl_display_roundtrip", &wl.display_roundtrip) &&
               find_symbol(client, "wl_display_dispatch_pending", &wl.display_dispatch_pending) &&
               find_symbol(client, "wl_display_prepare_read", &wl.display_prepare_read) &&
               find_symbol(client, "wl_display_read_events", &wl.display_read_events) &&
               find_symbol(client, "wl_display_cancel_read", &wl.display_cancel_read) &&
               find_symbol(client, "wl_display_flush", &wl.display_flush) &&
               find_symbol(client, "wl_display_get_fd", &wl.display_get_fd) &&
               find_symbol(client, "wl_display_get_error", &wl.display_get_error) &&
               find_symbol(client, "wl_proxy_marshal_flags", &wl.proxy_marshal_flags) &&
               find_symbol(client, "wl_proxy_add_listener", &wl.proxy_add_listener) &&
               find_symbol(client, "wl_proxy_get_version", &wl.proxy_get_version) &&
               find_symbol(client, "wl_proxy_destroy", &wl.proxy_destroy) &&
               find_symbol(client, "wl_proxy_set_user_data", &wl.proxy_set_user_data) &&
               find_symbol(client, "wl_proxy_get_user_data", &wl.proxy_get_user_data);
  void (*set_log_handler)(wl_log_func_t) = nullptr;
  found = found && find_symbol(client, "wl_log_set_handler_client", &set_log_handler);
  if (!found) {
    snprintf(error, sizeof error, "the Wayland libraries lack a function hidpipe needs");
    return false;
  }
  set_log_handler(keep_complaint);
  return true;
}

uint64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

void on_done(void *data, wl_callback * /*c*/, uint32_t /*serial*/) { *static_cast<bool *>(data) = true; }
const wl_callback_listener done_listener = {on_done};

}  // namespace

bool wl_load(const char **why) {
  static int state;  // 1 loaded, -1 failed
  static char error[200];
  if (state == 0) state = load(error) ? 1 : -1;
  if (state < 0) *why = error;
  return state > 0;
}

const char *wl_complaint() { return library_said; }

bool wl_roundtrip_on(wl_display *d, unsigned ms) {
  if (d == nullptr) return false;
  bool done = false;
  auto *proxy = reinterpret_cast<wl_proxy *>(d);
  // The display's request 0, sync.
  auto *callback = reinterpret_cast<wl_callback *>(
      wl.proxy_marshal_flags(proxy, 0, &wl_callback_interface, wl.proxy_get_version(proxy), 0, nullptr));
  if (callback == nullptr) return false;
  wl_callback_add_listener(callback, &done_listener, &done);
  uint64_t until = monotonic_ns() + uint64_t{ms} * 1000000u;
  int fd = wl.display_get_fd(d);
  while (!done) {
    uint64_t now = monotonic_ns();
    if (now >= until) break;
    auto left_ms = static_cast<unsigned>((until - now + 999999) / 1000000);
    if (wl.display_flush(d) < 0) {
      if (errno != EAGAIN || host_wait(fd, POLLOUT, left_ms) != host_ready) break;
      continue;
    }
    while (wl.display_prepare_read(d) != 0) wl.display_dispatch_pending(d);
    if (done) {
      wl.display_cancel_read(d);
      break;
    }
    if (host_wait(fd, POLLIN, left_ms) != host_ready) {
      wl.display_cancel_read(d);
      break;
    }
    if (wl.display_read_events(d) < 0) break;
    wl.display_dispatch_pending(d);
  }
  wl.proxy_destroy(reinterpret_cast<wl_proxy *>(callback));
  return done;
}

void wl_take_pending(wl_display *d) {
  while (wl.display_prepare_read(d) != 0) wl.display_dispatch_pending(d);
  pollfd p{wl.display_get_fd(d), POLLIN, 0};
  if (poll(&p, 1, 0) > 0)
    wl.display_read_events(d);
  else
    wl.display_cancel_read(d);
  wl.display_dispatch_pending(d);
}

uint32_t wl_now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}
