// The run-time choice of the backend: HIDPIPE_BACKEND when set, else what the environment offers,
// in this order: the compositor's own protocol, uinput or XWayland under WAYLAND_DISPLAY; X11 under
// DISPLAY; uinput where /dev/uinput can be written; the event log alone where one is asked
// for. With none of them, nothing could receive the events, and hidpipe does not start.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "backend.h"

namespace {

bool none_open() { return true; }
bool none_deliver(const cg_record & /*r*/) { return true; }
void none_close() {}
const char *none_error() { return nullptr; }
const char *none_about() { return "events go to the event log alone"; }
const char *none_cannot_type() { return nullptr; }

// No window system: the log and the recording are all there is.
const backend none_backend = {"none",     none_open,  none_deliver,    none_close,
                              none_error, none_about, none_cannot_type};

// The backends this build carries.
constexpr const backend *built[] = {
#ifdef HIDPIPE_WAYLAND
    &wayland_backend,
#endif
#ifdef HIDPIPE_X11
    &x11_backend,
#endif
#ifdef HIDPIPE_UINPUT
    &uinput_backend,
#endif
    &none_backend,
};

char reason[400];  // why no backend could start, for *why

const backend *find(const char *name) {
  for (const backend *b : built)
    if (strcmp(b->name, name) == 0) return b;
  return nullptr;
}

bool set(const char *variable) {
  const char *v = getenv(variable);
  return v != nullptr && *v != '\0';
}

// Whether this process may write to /dev/uinput.
bool uinput_writable() {
  int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Opens b; on failure sets reason from its error and returns null.
const backend *opened(const backend *b) {
  if (b->open()) return b;
  const char *e = b->error();
  snprintf(reason, sizeof reason, "%s", e != nullptr ? e : "the backend could not start");
  return nullptr;
}

const backend *automatic(const char **note) {
  const backend *x11 = find("x11");
  const backend *uinput = find("uinput");
  const backend *wayland = find("wayland");
  if (set("WAYLAND_DISPLAY")) {
    // The compositor's own protocol, where it offers one hidpipe speaks; else the next rule.
    if (wayland != nullptr && wayland->open()) return wayland;
    if (uinput != nullptr && uinput_writable()) return opened(uinput);
    if (x11 != nullptr && set("DISPLAY")) {
      *note =
          "only X applications will see the events: WAYLAND_DISPLAY is set, but the compositor offers "
          "no input protocol hidpipe speaks and /dev/uinput cannot be written, so they go to XWayland";
      return opened(x11);
    }
    const char *compositor = wayland != nullptr ? wayland->error() : "this build has no Wayland backend";
    snprintf(reason, sizeof reason,
             "nothing can receive the events under WAYLAND_DISPLAY: %s; /dev/uinput cannot be written (see "
             "man hidpipe, UINPUT) and no DISPLAY names XWayland",
             compositor != nullptr ? compositor : "the compositor cannot be used");
    return nullptr;
  }
  if (x11 != nullptr && set("DISPLAY")) return opened(x11);
  if (uinput != nullptr && uinput_writable()) return opened(uinput);
  if (set("HIDPIPE_SIM_LOG")) return &none_backend;
  snprintf(reason, sizeof reason,
           "nothing can receive the events: set DISPLAY for an X server, allow this user to write "
           "/dev/uinput (see man hidpipe, UINPUT), or set HIDPIPE_SIM_LOG for the event log alone");
  return nullptr;
}

}  // namespace

#ifndef HIDPIPE_X11
bool x11_root_size(int * /*width*/, int * /*height*/) { return false; }
#endif
#ifndef HIDPIPE_WAYLAND
bool wayland_desktop_size(int * /*width*/, int * /*height*/) { return false; }
#endif

const backend *choose_backend(const char **why, const char **note) {
  *why = *note = nullptr;
  reason[0] = '\0';
  const backend *chosen = nullptr;
  if (const char *named = getenv("HIDPIPE_BACKEND"); named != nullptr && *named != '\0') {
    const backend *b = find(named);
    if (b == nullptr) {
      size_t n = static_cast<size_t>(snprintf(
          reason, sizeof reason, "HIDPIPE_BACKEND=%s: no such backend in this build, which has", named));
      for (const backend *each : built)
        if (n < sizeof reason)
          n += static_cast<size_t>(snprintf(reason + n, sizeof reason - n, " %s", each->name));
    } else {
      chosen = opened(b);
    }
  } else {
    chosen = automatic(note);
  }
  if (chosen == nullptr) *why = reason;
  return chosen;
}
