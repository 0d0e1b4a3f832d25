// Text on the uinput device: its keys are read by the desktop with the user's layout, so each
// character is typed by the key and level that layout gives it, as a person would type it.
#include <cstdio>

#include "backend.h"
#include "shared/keymap.h"
#include "shared/layout.h"
#include "uinput/device.h"

namespace {

found_keymap found;     // the user's keymap and where it came from
char cannot_type[480];  // why text cannot be typed, or empty

}  // namespace

bool ut_start(char *about, size_t size, const char **why) {
  cannot_type[0] = '\0';
  const char *missing = nullptr;
  if (!xkb_load(&missing)) {
    snprintf(cannot_type, sizeof cannot_type, "text needs the user's keymap, and %s", missing);
    snprintf(about, size, "; no text can be typed: %s", missing);
    return true;
  }
  if (!user_keymap(&found)) {
    *why = found.source;
    return false;
  }
  if (found.keymap == nullptr) {
    snprintf(cannot_type, sizeof cannot_type, "the user's keymap is not known: %s", found.source);
    snprintf(about, size, "; no text can be typed: %s", found.source);
    return true;
  }
  snprintf(about, size, "; text is typed with %s", found.source);
  return true;
}

void ut_type(const cg_record &r, const bool (&held)[256], int caps,
             void (*press)(unsigned evdev, bool down)) {
  if (found.keymap == nullptr) return;
  type_text(found.keymap, found.layout, r, held, caps < 0 ? found.caps_locked : caps != 0, press);
}

const char *ut_cannot_type() { return cannot_type[0] != '\0' ? cannot_type : nullptr; }

void ut_stop() {
  if (found.keymap != nullptr) xkb.keymap_unref(found.keymap);
  found = {};
}
