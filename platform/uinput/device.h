// What the uinput backend's files share: text typed through the user's layout (text.cc,
// built where libxkbcommon's headers are), for backend.cc, which presses the keys.
#pragma once

#include <cstddef>

#include "quartz/cg_control.h"

// Finds the user's keymap and says in about (size bytes) which it is and where it came from.
// False, with *why set, when a setting names a keymap that cannot be made.
bool ut_start(char *about, size_t size, const char **why);

// Types the text r carries, as a person would on the user's layout, through press (an evdev code,
// down or up); held gives the keys that K holds, caps whether Caps Lock is on (-1: not known).
// Characters the layout lacks are skipped and noted.
void ut_type(const cg_record &r, const bool (&held)[256], int caps, void (*press)(unsigned evdev, bool down));

// Why text cannot be typed, or null.
const char *ut_cannot_type();

// Forgets the keymap.
void ut_stop();
