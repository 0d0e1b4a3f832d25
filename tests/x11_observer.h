// An observer of what reaches an X server: every key, button and motion event it processes,
// whichever client it goes to, through the RECORD extension.
#pragma once

#include <string>
#include <vector>

// X protocol values the tests compare with, without X11's headers (their macros break other code).
enum : int { x_key_press = 2, x_key_release = 3, x_button_press = 4, x_button_release = 5, x_motion = 6 };
constexpr unsigned x_shift_mask = 1;

// One device event as the server processed it.
struct x_event {
  int type;        // KeyPress, KeyRelease, ButtonPress, ButtonRelease or MotionNotify
  int detail;      // key code or button; 0 for motion
  int x, y;        // pointer position on the root window
  unsigned state;  // modifier and button state before the event
};

// Starts recording on display name (":N"). Returns false when the server or RECORD is not there.
bool observe_start(const std::string &name);

// The events recorded since the last call, once count have arrived or wait_ms have passed without
// a new one; the server is pinged meanwhile so that it sends what it holds back. With spin, it
// pings without pause, for timing single events at the cost of a busy core.
std::vector<x_event> observe_take(size_t count, int wait_ms = 200, bool spin = false);

// Stops recording and disconnects.
void observe_stop();

// Whether any key or any mouse button is down on the server now.
bool anything_down();

// A readable form, e.g. "key-press 38", "button-press 1 at 10,20 state 0x1", "motion 10,20".
std::string describe(const x_event &e);

// The server's keyboard mapping: every key code's keysyms, in order.
std::vector<unsigned long> keyboard_mapping();

// A window of its own connection that holds the keyboard focus, as an application being typed
// into does. Returns false when it cannot be made.
bool focus_start(const std::string &name);

// The keysym of each key press the window received, modifier keys left out, as the window
// translates it with the mapping it knows at the time (following the server's notices of new
// mappings), once count have arrived or wait_ms have passed without a new one.
std::vector<unsigned long> focus_take(size_t count, int wait_ms = 500);

void focus_stop();
