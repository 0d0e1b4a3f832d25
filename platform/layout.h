// Characters on the user's keyboard layout, for the backends that cannot send a keymap of their
// own: which key, at which level and with which modifiers, types a keysym, as a person would type it.
#pragma once

#include <xkbcommon/xkbcommon.h>

// Where a keysym is on a layout.
struct key_level {
  xkb_keycode_t key;        // the key (an XKB key code: evdev + 8)
  xkb_level_index_t level;  // its level
  xkb_mod_mask_t mods;      // the modifiers that select the level: the fewest, Caps Lock never among them
};

// Finds on layout (a group) of keymap the plainest level that types ks: the lowest level of any
// key, and of keys with it there, the lowest key code. False when no key of the layout types it.
bool find_level(xkb_keymap *keymap, xkb_layout_index_t layout, xkb_keysym_t ks, key_level *out);

// The keysym that types code point c (control characters as the keys that type them), or 0.
xkb_keysym_t text_keysym(uint32_t c);

// A code point as UTF-8, zero-terminated, for remarks.
const char *utf8_of(uint32_t c, char (&out)[5]);
