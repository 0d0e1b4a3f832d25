// The Wayland backend's keyboard: the seat's keyboard, whose keymap it follows, and the virtual
// keyboard that presses keys and types text. It calls the connection alone.
#pragma once

#include "quartz/cg_control.h"
#include "wayland/connection.h"

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
