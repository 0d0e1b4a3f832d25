// An observer of what a Wayland compositor delivers to an application: a window of ours, full
// screen, prints each pointer and keyboard event it receives, one line each, flushed:
//   ready                              once the window is on screen and has the keyboard
//   enter X Y | motion X Y             surface coordinates
//   button CODE STATE | axis AXIS VALUE | discrete AXIS STEPS
//   key CODE STATE KEYSYM              the keysym as the window's keymap and modifiers give it
//   modifiers DEPRESSED LATCHED LOCKED GROUP
//   layout NAME                        after "LNAME" and a newline on its standard input: its own
//                                      keyboard, the user's, has that layout and was used last
//   drained                            after a '?' on its standard input: every event the
//                                      compositor had sent it by then (a round trip later) has
//                                      been read and printed
// It runs until its standard input ends. WAYLAND_DISPLAY names the compositor. With
// OBSERVER_TALLY set, it counts motion instead, printing "tally N" once the events at hand are
// handled: lines for a long burst would cost more than the events. With OBSERVER_OUTPUTS set, it
// shows a full-screen window on each output, in the order the compositor names them, and the
// pointer's lines name the window: "enter W X Y", "motion W X Y"; "F" on its input has each window
// fill its output again. With OBSERVER_DEVICES set, it
// shows no window at all: it only gives the seat its devices. With OBSERVER_LOCK set, it locks
// the pointer to its window, as games and 3D editors do, says "locked" once the compositor has, and
// prints the relative motion it then reads: "relative DX DY UNACCELERATED_DX UNACCELERATED_DY".
//
// A desktop has a mouse and a keyboard before any program drives it: so that the seat has them
// here too (the compositor under test runs without devices), the observer makes a virtual pointer
// and a virtual keyboard of its own, which send nothing (on KWin, a fake input device). Its keyboard's
// keymap, the seat's keymap thereafter, comes from the default rules: XKB_DEFAULT_LAYOUT=fr gives the seat a
// French keyboard.
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fake-input-client.h"
#include "pointer-constraints-unstable-v1-client.h"
#include "relative-pointer-unstable-v1-client.h"
#include "virtual-keyboard-client.h"
#include "wlr-virtual-pointer-client.h"
#include "xdg-shell-client.h"

namespace {

wl_compositor *compositor;
wl_shm *shm;
xdg_wm_base *wm_base;
wl_seat *seat;
zwlr_virtual_pointer_manager_v1 *pointer_manager;
zwp_virtual_keyboard_manager_v1 *keyboard_manager;
org_kde_kwin_fake_input *fake_input;
zwp_virtual_keyboard_v1 *own_keyboard;    // the seat's keyboard of its own, which stands for the user's
constexpr uint32_t own_key = 194;         // F24, which it presses to be the keyboard used last
zwp_pointer_constraints_v1 *constraints;  // with OBSERVER_LOCK
zwp_relative_pointer_manager_v1 *relative_maker;  // with OBSERVER_LOCK
bool lock;                                        // OBSERVER_LOCK: lock the pointer, print relative motion
// A full-screen window of ours.
struct window {
  wl_output *output;  // the output it is shown on, or null for any
  wl_surface *surface;
  xdg_surface *shell_surface;
  xdg_toplevel *toplevel;
  wl_buffer *buffer;
  int width = 64, height = 64;  // as the compositor configured it: until it says, any size
  bool configured;
};
window windows[8];
int window_count = 1;  // one, or one per output
bool per_output;       // OBSERVER_OUTPUTS: a window on each output
int pointer_on;        // the window the pointer is on
bool announced;
bool tally;             // counting motion rather than printing it
unsigned long motions;  // motion events received
xkb_context *context;
xkb_keymap *keymap;
xkb_state *state;

double at(wl_fixed_t v) { return wl_fixed_to_double(v); }

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vprintf(format, ap);
  va_end(ap);
  putchar('\n');
}

// A white buffer of the window's size in shared memory.
wl_buffer *make_buffer(int width, int height) {
  int stride = width * 4, size = stride * height;
  int fd = memfd_create("observer", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, size) != 0) return nullptr;
  void *pixels = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pixels != MAP_FAILED) {
    memset(pixels, 0xff, static_cast<size_t>(size));
    munmap(pixels, static_cast<size_t>(size));
  }
  wl_shm_pool *pool = wl_shm_create_pool(shm, fd, size);
  wl_buffer *b = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return b;
}

void on_ping(void * /*d*/, xdg_wm_base *base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener wm_base_listener = {on_ping};

void on_surface_configure(void *d, xdg_surface *s, uint32_t serial) {
  auto *w = static_cast<window *>(d);
  xdg_surface_ack_configure(s, serial);
  if (w->buffer != nullptr) wl_buffer_destroy(w->buffer);
  w->buffer = make_buffer(w->width, w->height);
  wl_surface_attach(w->surface, w->buffer, 0, 0);
  wl_surface_damage(w->surface, 0, 0, w->width, w->height);
  wl_surface_commit(w->surface);
  w->configured = true;
}
const xdg_surface_listener surface_listener = {on_surface_configure};

void on_toplevel_configure(void *d, xdg_toplevel * /*t*/, int32_t w, int32_t h, wl_array * /*states*/) {
  auto *win = static_cast<window *>(d);
  if (w > 0) win->width = w;
  if (h > 0) win->height = h;
}
void on_close(void * /*d*/, xdg_toplevel * /*t*/) {}
// Bound at version 1: the later events are never sent.
xdg_toplevel_listener toplevel_listener() {
  xdg_toplevel_listener l{};
  l.configure = on_toplevel_configure;
  l.close = on_close;
  return l;
}

// Whether every window is on screen at its full size.
bool all_shown() {
  for (int i = 0; i < window_count; i++)
    if (!windows[i].configured || windows[i].width <= 64) return false;
  return true;
}

void lock_pointer();

void on_enter(void * /*d*/, wl_pointer * /*p*/, uint32_t /*serial*/, wl_surface *s, wl_fixed_t x,
              wl_fixed_t y) {
  for (int i = 0; i < window_count; i++)
    if (windows[i].surface == s) pointer_on = i;
  if (per_output)
    say("enter %d %g %g", pointer_on, at(x), at(y));
  else
    say("enter %g %g", at(x), at(y));
  lock_pointer();
}
void on_leave(void * /*d*/, wl_pointer * /*p*/, uint32_t /*serial*/, wl_surface * /*s*/) { say("leave"); }
void on_motion(void * /*d*/, wl_pointer * /*p*/, uint32_t /*time*/, wl_fixed_t x, wl_fixed_t y) {
  if (tally)
    motions++;
  else if (per_output)
    say("motion %d %g %g", pointer_on, at(x), at(y));
  else
    say("motion %g %g", at(x), at(y));
}
void on_button(void * /*d*/, wl_pointer * /*p*/, uint32_t /*serial*/, uint32_t /*time*/, uint32_t button,
               uint32_t pressed) {
  say("button %u %u", button, pressed);
}
void on_axis(void * /*d*/, wl_pointer * /*p*/, uint32_t /*time*/, uint32_t axis, wl_fixed_t value) {
  say("axis %u %g", axis, at(value));
}
void on_frame(void * /*d*/, wl_pointer * /*p*/) {}
void on_axis_source(void * /*d*/, wl_pointer * /*p*/, uint32_t /*source*/) {}
void on_axis_stop(void * /*d*/, wl_pointer * /*p*/, uint32_t /*time*/, uint32_t /*axis*/) {}
void on_axis_discrete(void * /*d*/, wl_pointer * /*p*/, uint32_t axis, int32_t steps) {
  say("discrete %u %d", axis, steps);
}
// Every event of the seat version bound (5); later ones are never sent.
wl_pointer_listener pointer_listener() {
  wl_pointer_listener l{};
  l.enter = on_enter;
  l.leave = on_leave;
  l.motion = on_motion;
  l.button = on_button;
  l.axis = on_axis;
  l.frame = on_frame;
  l.axis_source = on_axis_source;
  l.axis_stop = on_axis_stop;
  l.axis_discrete = on_axis_discrete;
  return l;
}

void on_keymap(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*format*/, int32_t fd, uint32_t size) {
  void *text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (text == MAP_FAILED) return;
  xkb_keymap *k = xkb_keymap_new_from_string(context, static_cast<const char *>(text),
                                             XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  munmap(text, size);
  if (k == nullptr) return;
  if (state != nullptr) xkb_state_unref(state);
  if (keymap != nullptr) xkb_keymap_unref(keymap);
  keymap = k;
  state = xkb_state_new(keymap);
}
void on_key_enter(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*serial*/, wl_surface * /*s*/,
                  wl_array * /*keys*/) {}
void on_key_leave(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*serial*/, wl_surface * /*s*/) {}
void on_key(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*serial*/, uint32_t /*time*/, uint32_t key,
            uint32_t pressed) {
  if (key == own_key) return;  // the user's keyboard, used
  char name[64] = "?";
  if (state != nullptr) xkb_keysym_get_name(xkb_state_key_get_one_sym(state, key + 8), name, sizeof name);
  say("key %u %u %s", key, pressed, name);
}
void on_modifiers(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*serial*/, uint32_t depressed,
                  uint32_t latched, uint32_t locked, uint32_t group) {
  if (state != nullptr) xkb_state_update_mask(state, depressed, latched, locked, 0, 0, group);
  say("modifiers %u %u %u %u", depressed, latched, locked, group);
}
void on_repeat(void * /*d*/, wl_keyboard * /*k*/, int32_t /*rate*/, int32_t /*delay*/) {}
const wl_keyboard_listener keyboard_listener = {on_keymap, on_key_enter, on_key_leave,
                                                on_key,    on_modifiers, on_repeat};

wl_pointer *pointer;    // while the seat has a pointer
wl_keyboard *keyboard;  // while the seat has a keyboard

void on_relative(void * /*d*/, zwp_relative_pointer_v1 * /*p*/, uint32_t /*hi*/, uint32_t /*lo*/,
                 wl_fixed_t dx, wl_fixed_t dy, wl_fixed_t raw_dx, wl_fixed_t raw_dy) {
  say("relative %g %g %g %g", at(dx), at(dy), at(raw_dx), at(raw_dy));
}
const zwp_relative_pointer_v1_listener relative_listener = {on_relative};

void on_locked(void * /*d*/, zwp_locked_pointer_v1 * /*l*/) { say("locked"); }
void on_unlocked(void * /*d*/, zwp_locked_pointer_v1 * /*l*/) { say("unlocked"); }
const zwp_locked_pointer_v1_listener locked_listener = {on_locked, on_unlocked};

bool lock_asked;  // whether the lock has been asked for

// Locks the seat's pointer to the window for as long as the observer runs, and reads its relative
// motion. Asked once the window is shown, or once the pointer enters it after: a compositor
// activates a lock on the surface that has the focus, when the pointer is on it.
void lock_pointer() {
  if (!lock || lock_asked || !announced || constraints == nullptr || relative_maker == nullptr ||
      pointer == nullptr)
    return;
  lock_asked = true;
  zwp_locked_pointer_v1 *locked = zwp_pointer_constraints_v1_lock_pointer(
      constraints, windows[0].surface, pointer, nullptr, ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
  zwp_locked_pointer_v1_add_listener(locked, &locked_listener, nullptr);
  zwp_relative_pointer_v1 *relative =
      zwp_relative_pointer_manager_v1_get_relative_pointer(relative_maker, pointer);
  zwp_relative_pointer_v1_add_listener(relative, &relative_listener, nullptr);
  wl_surface_commit(windows[0].surface);
}

// A seat's pointer or keyboard made before the seat has one stays inert: they are made when it
// gains them (the virtual devices of the compositor under test).
void on_capabilities(void * /*d*/, wl_seat *s, uint32_t caps) {
  static const wl_pointer_listener pointer_events = pointer_listener();
  if ((caps & WL_SEAT_CAPABILITY_POINTER) != 0 && pointer == nullptr) {
    pointer = wl_seat_get_pointer(s);
    wl_pointer_add_listener(pointer, &pointer_events, nullptr);
  } else if ((caps & WL_SEAT_CAPABILITY_POINTER) == 0 && pointer != nullptr) {
    wl_pointer_release(pointer);
    pointer = nullptr;
  }
  if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && keyboard == nullptr) {
    keyboard = wl_seat_get_keyboard(s);
    wl_keyboard_add_listener(keyboard, &keyboard_listener, nullptr);
  } else if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) == 0 && keyboard != nullptr) {
    wl_keyboard_release(keyboard);
    keyboard = nullptr;
  }
}
void on_seat_name(void * /*d*/, wl_seat * /*s*/, const char * /*name*/) {}
const wl_seat_listener seat_listener = {on_capabilities, on_seat_name};

void on_global(void * /*d*/, wl_registry *r, uint32_t name, const char *interface, uint32_t version) {
  if (strcmp(interface, "wl_compositor") == 0)
    compositor = static_cast<wl_compositor *>(wl_registry_bind(r, name, &wl_compositor_interface, 4));
  else if (strcmp(interface, "wl_shm") == 0)
    shm = static_cast<wl_shm *>(wl_registry_bind(r, name, &wl_shm_interface, 1));
  else if (strcmp(interface, "xdg_wm_base") == 0)
    wm_base = static_cast<xdg_wm_base *>(wl_registry_bind(r, name, &xdg_wm_base_interface, 1));
  else if (strcmp(interface, "zwlr_virtual_pointer_manager_v1") == 0)
    pointer_manager = static_cast<zwlr_virtual_pointer_manager_v1 *>(
        wl_registry_bind(r, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
  else if (strcmp(interface, "zwp_virtual_keyboard_manager_v1") == 0)
    keyboard_manager = static_cast<zwp_virtual_keyboard_manager_v1 *>(
        wl_registry_bind(r, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  else if (strcmp(interface, "org_kde_kwin_fake_input") == 0)
    fake_input = static_cast<org_kde_kwin_fake_input *>(
        wl_registry_bind(r, name, &org_kde_kwin_fake_input_interface, 1));
  else if (strcmp(interface, "zwp_pointer_constraints_v1") == 0 && lock)
    constraints = static_cast<zwp_pointer_constraints_v1 *>(
        wl_registry_bind(r, name, &zwp_pointer_constraints_v1_interface, 1));
  else if (strcmp(interface, "zwp_relative_pointer_manager_v1") == 0 && lock)
    relative_maker = static_cast<zwp_relative_pointer_manager_v1 *>(
        wl_registry_bind(r, name, &zwp_relative_pointer_manager_v1_interface, 1));
  else if (strcmp(interface, "wl_output") == 0 && per_output && window_count < 8)
    windows[window_count++].output =
        static_cast<wl_output *>(wl_registry_bind(r, name, &wl_output_interface, 1));
  else if (strcmp(interface, "wl_seat") == 0 && seat == nullptr)
    seat = static_cast<wl_seat *>(wl_registry_bind(r, name, &wl_seat_interface, version < 5 ? version : 5));
}
void on_global_remove(void * /*d*/, wl_registry * /*r*/, uint32_t /*name*/) {}
const wl_registry_listener registry_listener = {on_global, on_global_remove};

// Gives its own keyboard the layout named (null: the default rules', XKB_DEFAULT_LAYOUT and all).
void give_layout(const char *layout) {
  xkb_rule_names names = {nullptr, nullptr, layout, nullptr, nullptr};
  xkb_keymap *rules =
      xkb_keymap_new_from_names(context, layout != nullptr ? &names : nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
  char *text = rules != nullptr ? xkb_keymap_get_as_string(rules, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
  int fd = text != nullptr ? memfd_create("observer-keymap", MFD_CLOEXEC) : -1;
  size_t size = text != nullptr ? strlen(text) + 1 : 0;
  if (fd >= 0 && write(fd, text, size) == static_cast<ssize_t>(size))
    zwp_virtual_keyboard_v1_keymap(own_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<uint32_t>(size));
  if (fd >= 0) close(fd);
  free(text);
  if (rules != nullptr) xkb_keymap_unref(rules);
}

}  // namespace

int main() {
  wl_display *display = wl_display_connect(nullptr);
  if (display == nullptr) {
    say("no compositor");
    return 1;
  }
  tally = getenv("OBSERVER_TALLY") != nullptr;
  per_output = getenv("OBSERVER_OUTPUTS") != nullptr;
  lock = getenv("OBSERVER_LOCK") != nullptr;
  if (per_output) window_count = 0;
  // Only the devices, as a desktop's own mouse and keyboard: no window to take the focus.
  bool devices_only = getenv("OBSERVER_DEVICES") != nullptr;
  context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, nullptr);
  wl_display_roundtrip(display);
  if (compositor == nullptr || shm == nullptr || wm_base == nullptr || seat == nullptr ||
      (lock && (constraints == nullptr || relative_maker == nullptr))) {
    say("missing globals");
    return 1;
  }
  xdg_wm_base_add_listener(wm_base, &wm_base_listener, nullptr);
  wl_seat_add_listener(seat, &seat_listener, nullptr);
  if (pointer_manager != nullptr)
    zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointer_manager, seat);
  if (fake_input != nullptr)
    org_kde_kwin_fake_input_authenticate(fake_input, "observer", "the tests' own device");
  if (keyboard_manager != nullptr) {
    own_keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboard_manager, seat);
    give_layout(nullptr);
  }
  wl_display_roundtrip(display);
  if (devices_only) window_count = 0;
  static const xdg_toplevel_listener toplevel_events = toplevel_listener();
  for (int i = 0; i < window_count; i++) {
    window &w = windows[i];
    w.surface = wl_compositor_create_surface(compositor);
    w.shell_surface = xdg_wm_base_get_xdg_surface(wm_base, w.surface);
    xdg_surface_add_listener(w.shell_surface, &surface_listener, &w);
    w.toplevel = xdg_surface_get_toplevel(w.shell_surface);
    xdg_toplevel_add_listener(w.toplevel, &toplevel_events, &w);
    xdg_toplevel_set_fullscreen(w.toplevel, w.output);
    wl_surface_commit(w.surface);
  }
  pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {0, POLLIN, 0}};
  // Lines go out in blocks, once the events at hand are handled: a line each would let a burst
  // outrun the window, and a compositor drops a client that falls too far behind.
  static char block[1 << 16];
  setvbuf(stdout, block, _IOFBF, sizeof block);
  unsigned long told = 0;  // the tally last printed
  for (;;) {
    wl_display_dispatch_pending(display);
    wl_display_flush(display);
    if (motions != told) say("tally %lu", told = motions);
    fflush(stdout);
    // Ready once full screen: the compositor maps the window at its first buffer, then makes it
    // full screen. It gets the keyboard once the seat has one.
    if (!announced && all_shown()) {
      wl_display_roundtrip(display);
      say("ready %d %d", windows[0].width, windows[0].height);
      fflush(stdout);
      announced = true;
      lock_pointer();
    }
    if (poll(fds, 2, -1) < 0) continue;
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      char c;
      if (read(0, &c, 1) <= 0) break;
      if (c == 'L' && own_keyboard != nullptr) {
        // The user switched layouts and then typed: its own keyboard gets the layout named up to the
        // newline, and a key press that says nothing (F24), which makes it the keyboard used last.
        char layout[32] = {};
        for (size_t n = 0; n + 1 < sizeof layout && read(0, &c, 1) == 1 && c != '\n';) layout[n++] = c;
        give_layout(layout);
        zwp_virtual_keyboard_v1_key(own_keyboard, 0, own_key, 1);
        zwp_virtual_keyboard_v1_key(own_keyboard, 0, own_key, 0);
        wl_display_roundtrip(display);
        say("layout %s", layout);
        fflush(stdout);
        continue;
      }
      if (c == 'F') {
        // The monitors were rearranged, and the compositor may have moved a window to another: each
        // asks again to fill its own (out of full screen and in, or a window already full screen is
        // passed over), and has the size it then gets.
        for (int i = 0; i < window_count && per_output; i++) {
          xdg_toplevel_unset_fullscreen(windows[i].toplevel);
          xdg_toplevel_set_fullscreen(windows[i].toplevel, windows[i].output);
          wl_surface_commit(windows[i].surface);
        }
        wl_display_roundtrip(display);
        wl_display_roundtrip(display);
        say("filled");
        fflush(stdout);
        continue;
      }
      if (c == '?') {
        // As an application's next request would: the compositor answers it after every event it
        // had sent this client by then, which the round trip dispatches on the way.
        wl_display_roundtrip(display);
        say("drained");
        fflush(stdout);
        continue;
      }
    }
    if ((fds[0].revents & POLLIN) != 0 && wl_display_dispatch(display) < 0) {
      // Dropped by the compositor (it does so to a client that falls too far behind): the
      // counting side must tell this from events that never came.
      say("gone %d", wl_display_get_error(display));
      fflush(stdout);
      break;
    }
  }
  wl_display_disconnect(display);
  return 0;
}
