// Characters on the user's keyboard layout, for the backends that cannot send a keymap of their
// own: which key, at which level and with which modifiers, types a keysym, as a person would type it.
#pragma once

#include <xkbcommon/xkbcommon.h>

#include <cstdint>

#include "quartz/cg_control.h"
#include "shared/utf8.h"

// The functions used from libxkbcommon.
struct xkb_functions {
  decltype(&xkb_context_new) context_new;
  decltype(&xkb_context_unref) context_unref;
  decltype(&xkb_context_set_log_fn) context_set_log_fn;
  decltype(&xkb_keymap_ref) keymap_ref;
  decltype(&xkb_keymap_new_from_string) keymap_new_from_string;
  decltype(&xkb_keymap_new_from_names) keymap_new_from_names;
  decltype(&xkb_keymap_get_as_string) keymap_get_as_string;
  decltype(&xkb_keymap_unref) keymap_unref;
  decltype(&xkb_state_new) state_new;
  decltype(&xkb_state_unref) state_unref;
  decltype(&xkb_state_update_key) state_update_key;
  decltype(&xkb_state_serialize_mods) state_serialize_mods;
  decltype(&xkb_state_serialize_layout) state_serialize_layout;
  decltype(&xkb_utf32_to_keysym) utf32_to_keysym;
  decltype(&xkb_keysym_get_name) keysym_get_name;
  decltype(&xkb_keymap_min_keycode) keymap_min_keycode;
  decltype(&xkb_keymap_max_keycode) keymap_max_keycode;
  decltype(&xkb_keymap_num_layouts) keymap_num_layouts;
  decltype(&xkb_keymap_num_layouts_for_key) keymap_num_layouts_for_key;
  decltype(&xkb_keymap_num_levels_for_key) keymap_num_levels_for_key;
  decltype(&xkb_keymap_key_get_syms_by_level) keymap_key_get_syms_by_level;
  decltype(&xkb_keymap_key_get_mods_for_level) keymap_key_get_mods_for_level;
  decltype(&xkb_keymap_layout_get_name) keymap_layout_get_name;
  decltype(&xkb_keymap_mod_get_index) keymap_mod_get_index;
  decltype(&xkb_state_update_mask) state_update_mask;
  decltype(&xkb_state_key_get_one_sym) state_key_get_one_sym;
};

extern xkb_functions xkb;  // filled by xkb_load

// Loads libxkbcommon and fills xkb, once; false, with why set, when it or a function is missing.
bool xkb_load(const char **why);

// A new context (with flags) whose complaints are kept (xkb_complaint) rather than written to standard error;
// null when libxkbcommon cannot make one.
xkb_context *xkb_quiet_context(xkb_context_flags flags = XKB_CONTEXT_NO_FLAGS);

// The first error a quiet context gave since the latest was made, without its newline, or an
// empty string.
const char *xkb_complaint();

// Where a keysym is on a layout.
struct key_level {
  xkb_keycode_t key;        // the key (an XKB key code: evdev + 8)
  xkb_level_index_t level;  // its level
  xkb_mod_mask_t mods;      // the modifiers that select the level: the fewest, Caps Lock never among them
};

// Finds on layout (a group) of keymap the plainest level that types ks: the lowest level of any
// key, and of keys with it there, the lowest key code. False when no key of the layout types it.
bool find_level(xkb_keymap *keymap, xkb_layout_index_t layout, xkb_keysym_t ks, key_level *out);

// Presses (down) or releases a key by its evdev code: how a backend that presses physical keys
// types.
using press_key = void (*)(unsigned evdev, bool down);

// What type_char did.
enum typed { typed_it, not_on_layout, held_in_the_way };

// Types code point c on layout of keymap as a person would: the keys that select its plainest
// level (Shift, the key that gives level 3, and the like, as the keymap has them) pressed, the key
// tapped, those keys released in reverse order. held gives, by evdev code, the keys the user holds
// through K: a modifier they give already is not pressed again, and none of them is let go, so a
// level they rule out (a small letter under a held Shift) cannot be typed. Presses nothing unless
// it returns typed_it.
typed type_char(xkb_keymap *keymap, xkb_layout_index_t layout, uint32_t c, const bool (&held)[256],
                press_key press);

// Types the text of r with type_char, Caps Lock switched off around it when caps_locked, and notes
// (note_delivery) each character that layout lacks, naming the layout.
void type_text(xkb_keymap *keymap, xkb_layout_index_t layout, const cg_record &r, const bool (&held)[256],
               bool caps_locked, press_key press);

// The evdev code of the key that toggles Caps Lock on layout, or 0.
unsigned caps_lock_key(xkb_keymap *keymap, xkb_layout_index_t layout);

// The keysym that types code point c (control characters as the keys that type them), or 0.
xkb_keysym_t text_keysym(uint32_t c);
