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

// Where the server's pointer is now, in root window pixels.
void pointer_position(int *x, int *y);

// Unlocks Caps Lock, which a test may leave locked, for the next that shares the server.
void unlock_caps();

// A readable form, e.g. "key-press 38", "button-press 1 at 10,20 state 0x1", "motion 10,20".
std::string describe(const x_event &e);

// The server's keyboard mapping: every key code's keysyms, in order.
std::vector<unsigned long> keyboard_mapping();

// Binds every key code that has no keysym to keysym, as another program might, so that none is
// spare but the first leave of them; returns those codes. spare_codes_back gives them their empty
// mapping back.
std::vector<int> take_spare_codes(unsigned long keysym, int leave = 0);
void spare_codes_back(const std::vector<int> &codes);

// Key codes without any keysym now.
int empty_codes();

// The root window's record of spare codes that hidpipe sessions hold, as its 32-bit values; empty
// when there is none.
std::vector<unsigned long> spare_record();

// The key codes without any keysym now.
std::vector<int> spare_code_list();

// Binds code to keysym as a hidpipe session does.
void bind_as_a_session(int code, unsigned long keysym);

// Sets the root window's record of spare codes to values (none: removes it), as any client may.
void set_spare_record(const std::vector<unsigned long> &values);

// The server's time now, in ms.
unsigned long server_time();

// Locks the keyboard's group (its layout, 0 for the first).
void lock_group(int group);

// An X application being typed into, in a process of its own (tests/x11/x11_reader.cc): a focused
// window that translates each key press as toolkits do, with the mapping it knows when it handles
// the press.
class x11_reader {
 public:
  // Starts it on display name; with slow_us, it spends that long on each press. False if it does
  // not come up.
  bool start(const std::string &name, long slow_us = 0);

  // The code points it typed since the last call (0 for a press that typed nothing), once count
  // have arrived or quiet_ms have passed without one.
  std::vector<unsigned> take(size_t count, int quiet_ms = 1000);

  // The code points of every key press that the server had sent it by now, which it reads at once
  // (nothing waits for more to come); those taken before are left out.
  std::vector<unsigned> drain();

  void stop();
  ~x11_reader() { stop(); }

 private:
  int pid_ = 0;
  int output_ = -1, input_ = -1;
  std::string pending_;  // read and not yet cut into lines
};
