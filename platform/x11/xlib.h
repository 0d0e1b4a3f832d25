// What the X11 backend's files share: the functions loaded from Xlib and XTEST, and the
// connection to the server.
#pragma once

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "quartz/cg_control.h"

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
  decltype(&XTestFakeRelativeMotionEvent) fake_relative_motion;
  decltype(&XTestFakeButtonEvent) fake_button;
  decltype(&XDisplayKeycodes) display_keycodes;
  decltype(&XGetKeyboardMapping) get_keyboard_mapping;
  decltype(&XChangeKeyboardMapping) change_keyboard_mapping;
  decltype(&XFree) free;
  decltype(&XSync) sync;
  decltype(&XCheckTypedEvent) check_typed_event;
  decltype(&XCheckTypedWindowEvent) check_typed_window_event;
  decltype(&XRefreshKeyboardMapping) refresh_keyboard_mapping;
  decltype(&XkbQueryExtension) xkb_query_extension;
  decltype(&XkbSelectEvents) xkb_select_events;
  decltype(&XkbGetMap) xkb_get_map;
  decltype(&XkbFreeKeyboard) xkb_free_keyboard;
  decltype(&XkbGetState) xkb_get_state;
  decltype(&XGetModifierMapping) get_modifier_mapping;
  decltype(&XFreeModifiermap) free_modifiermap;
  decltype(&XQueryExtension) query_named_extension;
  decltype(&XEventsQueued) events_queued;
  decltype(&XGrabServer) grab_server;
  decltype(&XUngrabServer) ungrab_server;
  decltype(&XInternAtom) intern_atom;
  decltype(&XCreateWindow) create_window;
  decltype(&XDestroyWindow) destroy_window;
  decltype(&XSelectInput) select_input;
  decltype(&XChangeProperty) change_property;
  decltype(&XGetWindowProperty) get_window_property;
  decltype(&XDeleteProperty) delete_property;
};

extern x_functions x_lib;   // filled once, when the backend is first chosen
extern Display *x_display;  // the X server, while connected

// Whether the server that name names answers a connection within *ms, which it sets: the bound to
// put on what follows.
bool x11_answers(const char *name, unsigned *ms);

// Puts the bound of a round trip on what follows, until host_unguard: a server that answers nothing
// for 10 s ends the session with status 1, its releases sent as it ends.
void x_guard_round_trip();

// Types the text a keyboard event carries, each character as a real key press (text.cc).
void x_type(const cg_record &r);

// Gives the key codes that typing bound to characters their empty mapping back, once applications
// have had the time to read them, when still connected; and forgets them and the mapping.
void x_release_spares(bool connected);
