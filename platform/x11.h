// What the X11 backend's files share: the functions loaded from Xlib and XTEST, and the
// connection to the server.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "cg_control.h"

// The functions used, from the libraries loaded at run time when the backend is chosen.
struct x_functions {
  decltype(&XOpenDisplay) open_display;
  decltype(&XCloseDisplay) close_display;
  decltype(&XFlush) flush;
  decltype(&XQueryPointer) query_pointer;
  decltype(&XSetErrorHandler) set_error_handler;
  decltype(&XSetIOErrorHandler) set_io_error_handler;
  decltype(&XSetIOErrorExitHandler) set_io_error_exit_handler;  // libX11 1.7 and later; may be null
  decltype(&XTestQueryExtension) query_extension;
  decltype(&XTestFakeKeyEvent) fake_key;
  decltype(&XTestFakeMotionEvent) fake_motion;
  decltype(&XTestFakeButtonEvent) fake_button;
  decltype(&XDisplayKeycodes) display_keycodes;
  decltype(&XGetKeyboardMapping) get_keyboard_mapping;
  decltype(&XChangeKeyboardMapping) change_keyboard_mapping;
  decltype(&XFree) free;
  decltype(&XSync) sync;
  decltype(&XCheckTypedEvent) check_typed_event;
};

extern x_functions x_lib;   // filled once, when the backend is first chosen
extern Display *x_display;  // the X server, while connected

// Types the text a keyboard event carries, each character as a real key press (x11_text.cc).
void x_type(const cg_record &r);

// Gives the key codes that typing bound to characters their empty mapping back, when still
// connected, and forgets them.
void x_release_spares(bool connected);
