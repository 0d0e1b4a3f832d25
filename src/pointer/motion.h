// The pointer position the program last set, and the M and W commands' events.
#pragma once

#include <cstdint>

#include "emit/platform.h"

extern int32_t mouse_x;  // position of the last move
extern int32_t mouse_y;
extern bool positioned;  // whether mouse_x, mouse_y are where the pointer is: false before the
                         // first move and after a relative one
// The protocol's buttons, as MouseEvent.button numbers them: 0 left, 1 middle, 2 right, 3 back,
// 4 forward.
inline constexpr int button_count = 5;

extern uint8_t held_buttons[button_count];  // per protocol button: held; written by button

// Protocol button to platform button: middle and right swap numbers; back and forward are other
// buttons 3 and 4, which Quartz does not name.
inline constexpr CGMouseButton mac_buttons[button_count] = {
    kCGMouseButtonLeft, kCGMouseButtonCenter, kCGMouseButtonRight, static_cast<CGMouseButton>(3),
    static_cast<CGMouseButton>(4)};

// Handles "M x y": stores the position and posts a move there, or a drag of the first held
// button in the order left, middle, right, back, forward. Never skips, even to the current
// position.
void move(int32_t x, int32_t y);

// Handles "D dx dy": posts a move (or a drag, as move does) from wherever the pointer is, read from
// the platform, to that place plus (dx, dy), carrying the deltas, which pointer-locked
// applications read. The program then no longer knows where the pointer is (positioned is false).
void move_by(int32_t dx, int32_t dy);

// Moves to (x, y) unless the program already put the pointer there.
void move_if_changed(int32_t x, int32_t y);

// Handles "W x y dx dy": brings the pointer to (x, y) if needed, then posts a two-axis pixel
// scroll with wheel 1 = -dy (vertical) and wheel 2 = -dx (horizontal). dx, dy lie in -1000..1000.
void wheel(int32_t x, int32_t y, int32_t dx, int32_t dy);
