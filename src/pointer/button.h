// Mouse buttons: the B command's events, which buttons are held, and multiple-click counting.
#pragma once

#include <cstdint>

#include "emit/platform.h"
#include "pointer/motion.h"

// Click history per protocol button, of its latest press:
extern int32_t click_x[button_count];       // pointer x
extern int32_t click_y[button_count];       // pointer y
extern double clicked[button_count];        // time in seconds of the uptime clock
extern uint32_t click_count[button_count];  // click number, 1 to 3 (0 before the first press)

// Handles "B x y b down" (b 0..4, down 0 or 1). A press of a held button or a release of a button
// not held does nothing, not even move. Otherwise brings the pointer to (x, y) as the button was
// before, updates the held flag, numbers a press (1, 2, 3, 1, ... while each follows the previous
// press of b within 4 pixels on each axis and less than 0.45 s) and posts the button event.
void button(int32_t x, int32_t y, int b, int down);

// Makes the up (down 0) or down event of button b at the stored position, carrying the button's
// latest click count. None when the platform cannot make it.
CGEventRef button_event(int b, int down);

// Releases every held button in the order left, middle, right, back, forward, at the stored
// position.
void release_buttons();
