// The one small interface behind which each backend lives: where posted events go besides the log
// and the in-process recording. Each backend is a table of functions, chosen when hidpipe starts;
// its libraries are loaded only when it is chosen.
#pragma once

#include "quartz/cg_control.h"

struct backend {
  const char *name;  // as HIDPIPE_BACKEND names it

  // Connects, or creates its device. False, with error() saying why, when it cannot.
  bool (*open)();

  // Sends one posted event on, and flushes it. False once the connection has broken (error()
  // says how); the events after that go nowhere.
  bool (*deliver)(const cg_record &r);

  // Gives back what it holds (a device, key codes it bound) and disconnects.
  void (*close)();

  // Why it could not open, or why delivery ended; null while all is well.
  const char *(*error)();

  // Where the events go, in words for --verbose, once open.
  const char *(*about)();

  // Why it cannot type text (T), or null when it can; asked once it is open.
  const char *(*cannot_type)();

  // Waits until the window system has taken every event delivered so far, as far as it lets
  // hidpipe know, and until the backend is ready for the first event (a new device settled): what a
  // reply to S promises. False once the connection has broken (error() says how).
  bool (*sync)();
};

// Whether a posted mouse event presses a button, and whether it presses or releases one (rather
// than moving the pointer).
inline bool is_press(CGEventType t) {
  return t == kCGEventLeftMouseDown || t == kCGEventRightMouseDown || t == kCGEventOtherMouseDown;
}
inline bool is_button(CGEventType t) {
  return is_press(t) || t == kCGEventLeftMouseUp || t == kCGEventRightMouseUp || t == kCGEventOtherMouseUp;
}

// Adds a remark for take_delivery_notes (status.h): a line of text, formatted. Remarks past the
// room kept for them are counted, not kept.
void note_delivery(const char *format, ...) __attribute__((format(printf, 1, 2)));

extern const backend wayland_backend;    // the compositor's own protocols, under WAYLAND_DISPLAY
extern const backend gnome_backend;      // mutter's remote-desktop interface on the session bus
extern const backend ei_backend;         // libei, on the EIS socket KWin or mutter hands out
extern const backend x11_backend;        // XTEST on the X server that DISPLAY names
extern const backend uinput_backend;     // a virtual device of the kernel's, through /dev/uinput
extern const backend sendinput_backend;  // Windows' SendInput

// The size of the X root window on the server DISPLAY names (all its monitors), for backends that
// need the desktop's size; false when there is none or it cannot be reached.
bool x11_root_size(int *width, int *height);

// The size of the Wayland desktop under WAYLAND_DISPLAY (the union of its outputs); false when
// there is none or it cannot be reached.
bool wayland_desktop_size(int *width, int *height);

// Chooses the backend as HIDPIPE_BACKEND says, or by what the environment offers when it is unset
// or empty, and opens it. Returns it, or null when the one named cannot start or nothing can
// receive the events; *why then says so. *note is a remark on the choice for --verbose, or null.
const backend *choose_backend(const char **why, const char **note);
