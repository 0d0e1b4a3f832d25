// The automatic choice of the backend on Linux and other POSIX systems: under WAYLAND_DISPLAY the
// compositor's own protocol, else GNOME's remote-desktop interface, else the compositor's EIS (KWin's
// where it refuses its fake input), else uinput, else XWayland; X11 under
// DISPLAY; uinput where /dev/uinput can be written; the event log alone where one is asked for. With none of
// them, nothing could receive the events, and hidpipe does not start.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "choose.h"

namespace {

// Whether this process may write to /dev/uinput.
bool uinput_writable() {
  int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// b, with a note that it took the events KWin refused (refusal, when not null) for --verbose.
const backend *instead_of_kwin(const backend *b, const char *refusal, const char **note) {
  static char passed_over[sizeof choice_reason + 64];
  if (b != nullptr && refusal != nullptr) {
    snprintf(passed_over, sizeof passed_over, "events go to %s: %s", b->name, refusal);
    *note = passed_over;
  }
  return b;
}

// Under WAYLAND_DISPLAY: the compositor's own protocol, where it offers one hidpipe speaks; GNOME's
// on the session bus; EIS; uinput; XWayland last.
const backend *under_wayland(const char **note) {
  const backend *wayland = find_backend("wayland");
  const backend *gnome = find_backend("gnome");
  const backend *ei = find_backend("ei");
  const backend *uinput = find_backend("uinput");
  const backend *x11 = find_backend("x11");
  if (wayland != nullptr && wayland->open()) return wayland;
  if (gnome != nullptr && gnome->open()) return gnome;
  // Said, for a compositor that could take them itself once allowed (KWin's grant).
  const char *refusal = wayland != nullptr ? wayland->error() : nullptr;
  if (refusal != nullptr && strncmp(refusal, "KWin ", 5) != 0) refusal = nullptr;
  // KWin 6 hands out EIS to any client of the session bus, with no grant to find; a bus that did
  // not answer GNOME's backend is not asked again, so the choice keeps its one bound.
  const char *g = gnome != nullptr ? gnome->error() : nullptr;
  if (ei != nullptr && (g == nullptr || strstr(g, "did not answer") == nullptr) && ei->open())
    return instead_of_kwin(ei, refusal, note);
  if (uinput != nullptr && uinput_writable()) return instead_of_kwin(opened(uinput), refusal, note);
  if (x11 != nullptr && env_set("DISPLAY")) {
    *note =
        "only X applications will see the events: WAYLAND_DISPLAY is set, but the compositor offers "
        "no input protocol hidpipe speaks and /dev/uinput cannot be written, so they go to XWayland";
    return opened(x11);
  }
  const char *compositor = wayland != nullptr ? wayland->error() : "this build has no Wayland backend";
  snprintf(choice_reason, sizeof choice_reason,
           "nothing can receive the events under WAYLAND_DISPLAY: %s; /dev/uinput cannot be written (see "
           "man hidpipe, UINPUT) and no DISPLAY names XWayland",
           compositor != nullptr ? compositor : "the compositor cannot be used");
  return nullptr;
}

}  // namespace

const backend *automatic(const char **note) {
  if (env_set("WAYLAND_DISPLAY")) return under_wayland(note);
  const backend *x11 = find_backend("x11");
  const backend *uinput = find_backend("uinput");
  if (x11 != nullptr && env_set("DISPLAY")) return opened(x11);
  if (uinput != nullptr && uinput_writable()) return opened(uinput);
  if (env_set("HIDPIPE_SIM_LOG")) return &none_backend;
  snprintf(choice_reason, sizeof choice_reason,
           "nothing can receive the events: set DISPLAY for an X server, allow this user to write "
           "/dev/uinput (see man hidpipe, UINPUT), or set HIDPIPE_SIM_LOG for the event log alone");
  return nullptr;
}

// Where a backend is not built, uinput still asks it for the desktop's size.
#ifndef HIDPIPE_X11
bool x11_root_size(int * /*width*/, int * /*height*/) { return false; }
#endif
#ifndef HIDPIPE_WAYLAND
bool wayland_desktop_size(int * /*width*/, int * /*height*/) { return false; }
#endif
