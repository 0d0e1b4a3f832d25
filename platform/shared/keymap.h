// The user's keymap, for a backend that presses keys on a device of its own (uinput), whose keys the
// desktop reads with the user's layout: the display server's keymap where one answers, else the
// system's configured layout, else the default rules.
#pragma once

#include "shared/layout.h"

// The names that make a keymap from the rules, as a configuration file gives them.
struct keymap_names {
  char rules[64];
  char model[64];
  char layout[128];
  char variant[128];
  char options[256];
};

// Reads the names in the text of a keyboard configuration: /etc/default/keyboard's shell
// assignments (XKBLAYOUT="de") when xorg is false, an X server's InputClass options (Option
// "XkbLayout" "de"), as systemd-localed writes them, when true. False when it names no layout.
bool read_keymap_names(const char *text, bool xorg, keymap_names *out);

// The same for the file at path, read line by line whatever its length; false also when it is not a
// regular file (a FIFO there would keep a reader waiting).
bool read_keymap_file(const char *path, bool xorg, keymap_names *out);

// What user_keymap found.
struct found_keymap {
  xkb_keymap *keymap;         // the keymap (the caller unrefs it), or null
  xkb_layout_index_t layout;  // its current layout, where the source tells it, else 0
  bool caps_locked;           // whether the source says Caps Lock is locked
  char source[400];           // where it came from, in words for --verbose; why not, without one
};

// Finds the user's keymap: the seat's under WAYLAND_DISPLAY, the X server's under DISPLAY, then the
// XKB_DEFAULT_* variables, /etc/default/keyboard, systemd-localed's X11 layout, the default rules.
// False, with source saying why, when XKB_DEFAULT_* name a keymap that cannot be made: a bad setting.
bool user_keymap(found_keymap *out);

// The sources beneath it, from the backends' files where they are built (else they find nothing).

// The seat's keymap on the Wayland display WAYLAND_DISPLAY names, as a new keyboard of the seat
// hears it; null when there is none or it cannot be reached.
xkb_keymap *wayland_seat_keymap();

// The keymap of the X server DISPLAY names, with its current layout and Caps Lock, through
// libxkbcommon-x11; null, with *why set when there is a display, when it cannot be read.
xkb_keymap *x11_server_keymap(xkb_layout_index_t *layout, bool *caps_locked, const char **why);
