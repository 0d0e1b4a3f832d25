// Held keys and the keyboard events of the K command.
#pragma once

#include <cstdint>

#include "emit/platform.h"
#include "keyboard/keys.h"

// One flag per key-table row: set while the key is held.
extern uint8_t held_keys[std::size(keys)];

// Handles "K name down": presses (down 1) or releases (down 0) the named key. Unknown names and
// releases of keys not held do nothing. The held flag changes before the event is made.
void key(const char *name, int down);

// Makes the key-down (down 1) or key-up event of a table row; the eight Command, Shift, Option and
// Control keys become flags-changed events. None when the platform cannot make it.
CGEventRef key_event(int row, int down);

// Releases every held key in table order, each release carrying the keys still held after it.
void release_keys();
