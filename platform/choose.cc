// The run-time choice of the backend: HIDPIPE_BACKEND when set, else what the environment offers,
// by the rules of the system (choose_posix.cc, choose_windows.cc).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "choose.h"

namespace {

bool none_open() { return true; }
bool none_deliver(const cg_record & /*r*/) { return true; }
void none_close() {}
const char *none_error() { return nullptr; }
const char *none_about() { return "events go to the event log alone"; }
const char *none_cannot_type() { return nullptr; }
// The log's line for each event was written when it was posted.
bool none_sync() { return true; }

}  // namespace

// No window system: the log and the recording are all there is.
const backend none_backend = {"none",     none_open,  none_deliver,     none_close,
                              none_error, none_about, none_cannot_type, none_sync};

namespace {

// The backends this build carries.
constexpr const backend *built[] = {
#ifdef HIDPIPE_WAYLAND
    &wayland_backend,
#endif
#ifdef HIDPIPE_GNOME
    &gnome_backend,
#endif
#ifdef HIDPIPE_EI
    &ei_backend,
#endif
#ifdef HIDPIPE_X11
    &x11_backend,
#endif
#ifdef HIDPIPE_UINPUT
    &uinput_backend,
#endif
#ifdef HIDPIPE_WINDOWS
    &sendinput_backend,
#endif
    &none_backend,
};

}  // namespace

char choice_reason[1024];

const backend *find_backend(const char *name) {
  for (const backend *b : built)
    if (strcmp(b->name, name) == 0) return b;
  return nullptr;
}

const backend *opened(const backend *b) {
  if (b->open()) return b;
  const char *e = b->error();
  snprintf(choice_reason, sizeof choice_reason, "%s", e != nullptr ? e : "the backend could not start");
  return nullptr;
}

const backend *choose_backend(const char **why, const char **note) {
  *why = *note = nullptr;
  choice_reason[0] = '\0';
  const backend *chosen = nullptr;
  if (const char *named = getenv("HIDPIPE_BACKEND"); named != nullptr && *named != '\0') {
    const backend *b = find_backend(named);
    if (b == nullptr) {
      size_t n = static_cast<size_t>(snprintf(choice_reason, sizeof choice_reason,
                                              "HIDPIPE_BACKEND=%s: no such backend in this build, which has",
                                              named));
      for (const backend *each : built)
        if (n < sizeof choice_reason)
          n += static_cast<size_t>(snprintf(choice_reason + n, sizeof choice_reason - n, " %s", each->name));
    } else {
      chosen = opened(b);
    }
  } else {
    chosen = automatic(note);
  }
  if (chosen == nullptr) *why = choice_reason;
  return chosen;
}
