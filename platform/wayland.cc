// The Wayland backend: the compositor's own protocols for input. wlroots-based compositors (sway,
// Hyprland, river, labwc, Wayfire) offer a virtual pointer and a virtual keyboard; KDE's KWin
// offers fake input to programs it lets use it. libwayland-client and libxkbcommon are loaded only
// when the backend is chosen.
#include "wayland.h"

#include <dlfcn.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "backend.h"
#include "environment.h"
#include "evdev.h"
#include "host.h"
#include "symbols.h"
#include "user_keymap.h"

wl_functions wl;
wl_display *wl_connection;
wl_seat *wl_the_seat;
uint32_t wl_seat_capabilities;

namespace {

// One output of the compositor: its place and size in the global space.
struct output {
  wl_output *wl;
  zxdg_output_v1 *xdg;                 // its logical place and size, where the compositor tells them
  uint32_t name;                       // the registry's name for it
  int x, y;                            // logical position
  int width, height;                   // logical size
  int mode_width, mode_height, scale;  // from wl_output, where xdg-output is not offered
  bool logical;                        // whether x, y, width, height came from xdg-output
};

bool loaded;                                        // whether load succeeded
wl_registry *registry;                              // the globals
zwlr_virtual_pointer_manager_v1 *pointer_manager;   // wlroots
zwp_virtual_keyboard_manager_v1 *keyboard_manager;  // wlroots and others
org_kde_kwin_fake_input *fake_input;                // KWin
zxdg_output_manager_v1 *xdg_output_manager;         // logical output places
output outputs[16];                                 // the outputs, as the registry names them
int output_count;                                   // how many of outputs are in use
zwlr_virtual_pointer_v1 *pointer;                   // the virtual pointer, with wlroots
int left, top, width, height;                       // the desktop: the union of the outputs
int sent_x = -1, sent_y;                            // the position last sent, or -1
bool held[256];                                     // evdev keys held through fake input
bool caps_by_k;                                     // Caps Lock as K's presses of it left it
uint64_t pointer_ready_at;                          // when the new pointer may move: wl_ready_at
int64_t wheel_rest[2];                              // pixels not yet sent as a notch: vertical, horizontal
int64_t wheel_pixels[2];                            // pixels scrolled in all, per axis
wl_fixed_t wheel_sent[2];                           // axis units sent in all, per axis
bool lost;                                          // the connection broke
char error[400];                                    // why the backend cannot start, or was lost
char about[400];                                    // where events go, for --verbose
char library_said[200];                             // libwayland's last complaint, for error

// How long the compositor has to answer at start, and to read what is sent mid-session, before it
// counts as gone: libwayland itself would wait without a bound.
constexpr unsigned answer_ms = 3000;
constexpr unsigned read_ms = 10000;

// Pixels of scrolling per notch, as on X11 and uinput.
constexpr int64_t pixels_per_notch = 120;

// wl_pointer's axis units per notch: a wheel's detent is 10 of them to the toolkits (GTK, Qt,
// Chromium and mutter alike), who multiply them back into their own scroll steps.
constexpr double units_per_notch = 10;

// A pixel scroll in wl_pointer's axis units, as the change in the running total of the axis, so that
// the 1/256 steps of wl_fixed_t never add up to a drift: 120 scrolls of a pixel are 10 units.
wl_fixed_t axis_units(int axis, int32_t pixels) {
  wheel_pixels[axis] += pixels;
  wl_fixed_t total =
      wl_fixed_from_double(static_cast<double>(wheel_pixels[axis]) * units_per_notch / pixels_per_notch);
  wl_fixed_t step = total - wheel_sent[axis];
  wheel_sent[axis] = total;
  return step;
}

// Linux buttons by platform button: left, right, center, back, forward.
constexpr uint32_t buttons[] = {0x110, 0x111, 0x112, 0x113, 0x114};

// The Caps Lock key's evdev code (KEY_CAPSLOCK).
constexpr unsigned caps_lock = 58;

// libwayland-client prints its complaints on standard error; hidpipe writes nothing unless asked,
// so they are kept for the error message instead.
void keep_complaint(const char *format, va_list ap) {
  vsnprintf(library_said, sizeof library_said, format, ap);
  size_t n = strlen(library_said);
  while (n > 0 && library_said[n - 1] == '\n') library_said[--n] = '\0';
}

bool load() {
  void *client = dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_LOCAL);
  const char *keys_missing = nullptr;
  if (client != nullptr && !xkb_load(&keys_missing)) {
    snprintf(error, sizeof error, "%s", keys_missing);
    return false;
  }
  if (client == nullptr) {
    const char *why = dlerror();
    snprintf(error, sizeof error,
             "cannot load the Wayland libraries (Debian: libwayland-client0, libxkbcommon0): %s",
             why != nullptr ? why : "not found");
    return false;
  }
  loaded = find_symbol(client, "wl_display_connect", &wl.display_connect) &&
           find_symbol(client, "wl_display_disconnect", &wl.display_disconnect) &&
           find_symbol(client, "wl_display_roundtrip", &wl.display_roundtrip) &&
           find_symbol(client, "wl_display_dispatch_pending", &wl.display_dispatch_pending) &&
           find_symbol(client, "wl_display_prepare_read", &wl.display_prepare_read) &&
           find_symbol(client, "wl_display_read_events", &wl.display_read_events) &&
           find_symbol(client, "wl_display_cancel_read", &wl.display_cancel_read) &&
           find_symbol(client, "wl_display_flush", &wl.display_flush) &&
           find_symbol(client, "wl_display_get_fd", &wl.display_get_fd) &&
           find_symbol(client, "wl_display_get_error", &wl.display_get_error) &&
           find_symbol(client, "wl_proxy_marshal_flags", &wl.proxy_marshal_flags) &&
           find_symbol(client, "wl_proxy_add_listener", &wl.proxy_add_listener) &&
           find_symbol(client, "wl_proxy_get_version", &wl.proxy_get_version) &&
           find_symbol(client, "wl_proxy_destroy", &wl.proxy_destroy) &&
           find_symbol(client, "wl_proxy_set_user_data", &wl.proxy_set_user_data) &&
           find_symbol(client, "wl_proxy_get_user_data", &wl.proxy_get_user_data);
  void (*set_log_handler)(wl_log_func_t) = nullptr;
  loaded = loaded && find_symbol(client, "wl_log_set_handler_client", &set_log_handler);
  if (!loaded) {
    snprintf(error, sizeof error, "the Wayland libraries lack a function hidpipe needs");
    return false;
  }
  set_log_handler(keep_complaint);
  return true;
}

output *output_of(void *data) { return static_cast<output *>(data); }

void on_geometry(void *data, wl_output * /*o*/, int32_t x, int32_t y, int32_t /*pw*/, int32_t /*ph*/,
                 int32_t /*subpixel*/, const char * /*make*/, const char * /*model*/, int32_t /*transform*/) {
  if (!output_of(data)->logical) {
    output_of(data)->x = x;
    output_of(data)->y = y;
  }
}

void on_mode(void *data, wl_output * /*o*/, uint32_t flags, int32_t w, int32_t h, int32_t /*refresh*/) {
  if ((flags & 1) == 0) return;  // not the current mode
  output_of(data)->mode_width = w;
  output_of(data)->mode_height = h;
}

void on_output_done(void * /*data*/, wl_output * /*o*/) {}
void on_scale(void *data, wl_output * /*o*/, int32_t factor) { output_of(data)->scale = factor; }

const wl_output_listener output_listener = {on_geometry, on_mode, on_output_done, on_scale};

void on_logical_position(void *data, zxdg_output_v1 * /*o*/, int32_t x, int32_t y) {
  output_of(data)->x = x;
  output_of(data)->y = y;
  output_of(data)->logical = true;
}

void on_logical_size(void *data, zxdg_output_v1 * /*o*/, int32_t w, int32_t h) {
  output_of(data)->width = w;
  output_of(data)->height = h;
  output_of(data)->logical = true;
}

void on_xdg_done(void * /*data*/, zxdg_output_v1 * /*o*/) {}

const zxdg_output_v1_listener xdg_output_listener = {on_logical_position, on_logical_size, on_xdg_done};

void on_capabilities(void * /*data*/, wl_seat * /*seat*/, uint32_t capabilities) {
  wl_seat_capabilities = capabilities;
  wk_watch_seat(capabilities);
}

const wl_seat_listener seat_listener = {on_capabilities};

template <typename T>
T *bind(uint32_t name, const wl_interface *interface, uint32_t version) {
  return static_cast<T *>(wl_registry_bind(registry, name, interface, version));
}

void on_global(void * /*data*/, wl_registry * /*r*/, uint32_t name, const char *interface, uint32_t version) {
  if (strcmp(interface, "wl_seat") == 0 && wl_the_seat == nullptr) {
    wl_the_seat = bind<wl_seat>(name, &wl_seat_interface, 1);
    wl_seat_add_listener(wl_the_seat, &seat_listener, nullptr);
  } else if (strcmp(interface, "wl_output") == 0 && output_count < static_cast<int>(std::size(outputs))) {
    output &o = outputs[output_count++];
    o = {};
    o.name = name;
    o.scale = 1;
    o.wl = bind<wl_output>(name, &wl_output_interface, version < 2 ? version : 2);
    wl_output_add_listener(o.wl, &output_listener, &o);
  } else if (strcmp(interface, "zxdg_output_manager_v1") == 0) {
    xdg_output_manager = bind<zxdg_output_manager_v1>(name, &zxdg_output_manager_v1_interface, 1);
  } else if (strcmp(interface, "zwlr_virtual_pointer_manager_v1") == 0) {
    pointer_manager =
        bind<zwlr_virtual_pointer_manager_v1>(name, &zwlr_virtual_pointer_manager_v1_interface, 1);
  } else if (strcmp(interface, "zwp_virtual_keyboard_manager_v1") == 0) {
    keyboard_manager =
        bind<zwp_virtual_keyboard_manager_v1>(name, &zwp_virtual_keyboard_manager_v1_interface, 1);
  } else if (strcmp(interface, "org_kde_kwin_fake_input") == 0) {
    fake_input =
        bind<org_kde_kwin_fake_input>(name, &org_kde_kwin_fake_input_interface, version < 4 ? version : 4);
  }
}

// Frees a proxy on our side; the connection's end tells the compositor.
template <typename T>
void forget(T **proxy) {
  if (*proxy != nullptr) wl.proxy_destroy(reinterpret_cast<wl_proxy *>(*proxy));
  *proxy = nullptr;
}

void on_global_remove(void * /*data*/, wl_registry * /*r*/, uint32_t name) {
  // An output that goes leaves the desktop; the rest is read again at the next start.
  for (int i = 0; i < output_count; i++) {
    if (outputs[i].name != name) continue;
    forget(&outputs[i].xdg);
    forget(&outputs[i].wl);
    outputs[i] = outputs[--output_count];
    // The moved output's events must find it in its new place.
    for (wl_proxy *p :
         {reinterpret_cast<wl_proxy *>(outputs[i].wl), reinterpret_cast<wl_proxy *>(outputs[i].xdg)})
      if (i < output_count && p != nullptr) wl.proxy_set_user_data(p, &outputs[i]);
  }
}

const wl_registry_listener registry_listener = {on_global, on_global_remove};

// The union of the outputs' rectangles: logical ones where xdg-output tells them, else the
// current mode divided by the scale.
void measure_desktop() {
  int right = 0, bottom = 0;
  left = top = 0;
  for (int i = 0; i < output_count; i++) {
    output &o = outputs[i];
    if (!o.logical) {
      int scale = o.scale > 0 ? o.scale : 1;
      o.width = o.mode_width / scale;
      o.height = o.mode_height / scale;
    }
    if (i == 0 || o.x < left) left = o.x;
    if (i == 0 || o.y < top) top = o.y;
    if (i == 0 || o.x + o.width > right) right = o.x + o.width;
    if (i == 0 || o.y + o.height > bottom) bottom = o.y + o.height;
  }
  width = right - left;
  height = bottom - top;
}

void on_done(void *data, wl_callback * /*c*/, uint32_t /*serial*/) { *static_cast<bool *>(data) = true; }
const wl_callback_listener done_listener = {on_done};

void disconnect();

// Connects and learns the globals and the outputs' places. False, with error set, when the
// compositor cannot be reached.
bool connect() {
  if (!loaded && !load()) return false;
  wl_connection = wl.display_connect(nullptr);
  if (wl_connection == nullptr) {
    const char *name = getenv("WAYLAND_DISPLAY");
    snprintf(error, sizeof error, "cannot connect to the Wayland compositor \"%s\"%s%s",
             name != nullptr ? name : "", library_said[0] != '\0' ? ": " : "", library_said);
    return false;
  }
  // The display's request 1, get_registry, which the core protocol's header would carry.
  auto *display = reinterpret_cast<wl_proxy *>(wl_connection);
  registry = reinterpret_cast<wl_registry *>(
      wl.proxy_marshal_flags(display, 1, &wl_registry_interface, wl.proxy_get_version(display), 0, nullptr));
  wl_registry_add_listener(registry, &registry_listener, nullptr);
  const char *name = getenv("WAYLAND_DISPLAY");
  if (!wl_roundtrip(answer_ms)) {
    snprintf(error, sizeof error, "the Wayland compositor \"%s\" does not answer (waited %u s)",
             name != nullptr ? name : "", answer_ms / 1000);
    disconnect();
    return false;
  }
  for (int i = 0; xdg_output_manager != nullptr && i < output_count; i++) {
    outputs[i].xdg = zxdg_output_manager_v1_get_xdg_output(xdg_output_manager, outputs[i].wl);
    zxdg_output_v1_add_listener(outputs[i].xdg, &xdg_output_listener, &outputs[i]);
  }
  // The outputs' events and the seat's capabilities, with which its keyboard is asked for; that
  // keyboard's keymap comes with the next round trip, which each use of it waits for.
  if (!wl_roundtrip(answer_ms)) {
    snprintf(error, sizeof error, "the Wayland compositor \"%s\" does not answer (waited %u s)",
             name != nullptr ? name : "", answer_ms / 1000);
    disconnect();
    return false;
  }
  measure_desktop();
  return true;
}

void disconnect() {
  wk_stop();
  for (int i = 0; i < output_count; i++) {
    forget(&outputs[i].xdg);
    forget(&outputs[i].wl);
  }
  forget(&pointer);
  forget(&pointer_manager);
  forget(&keyboard_manager);
  forget(&fake_input);
  forget(&xdg_output_manager);
  forget(&wl_the_seat);
  forget(&registry);
  if (wl_connection != nullptr) wl.display_disconnect(wl_connection);
  wl_connection = nullptr;
  wl_seat_capabilities = 0;
  registry = nullptr;
  pointer_manager = nullptr;
  keyboard_manager = nullptr;
  fake_input = nullptr;
  xdg_output_manager = nullptr;
  pointer = nullptr;
  wl_the_seat = nullptr;
  output_count = 0;
}

// Sends what is buffered. When the socket is full, waits for the compositor to read rather than
// drop requests (libwayland would give up on the connection), for at most read_ms; a stop signal
// leaves it buffered for the releases that follow. False once it broke or stalled.
bool flush() {
  for (;;) {
    if (wl.display_flush(wl_connection) >= 0) return true;
    if (errno != EAGAIN) break;
    host_wake w = host_wait(wl.display_get_fd(wl_connection), POLLOUT, read_ms);
    if (w == host_stopped) return true;
    if (w == host_ready) continue;
    lost = true;
    snprintf(error, sizeof error,
             host_ending() ? "the Wayland compositor did not take the releases in time"
                           : "the Wayland compositor read nothing for %u s",
             read_ms / 1000);
    return false;
  }
  lost = true;
  snprintf(error, sizeof error, "lost the connection to the Wayland compositor");
  return false;
}

int clamp(double v, int low, int high) {
  if (!(v > low)) return low;
  if (v > high) return high;
  return static_cast<int>(v);
}

void move_pointer(const cg_record &r) {
  int x = clamp(r.at.x - left, 0, width - 1), y = clamp(r.at.y - top, 0, height - 1);
  sent_x = x;
  sent_y = y;
  if (pointer != nullptr) {
    zwlr_virtual_pointer_v1_motion_absolute(pointer, wl_now(), static_cast<uint32_t>(x),
                                            static_cast<uint32_t>(y), static_cast<uint32_t>(width),
                                            static_cast<uint32_t>(height));
  } else {
    org_kde_kwin_fake_input_pointer_motion_absolute(fake_input, wl_fixed_from_int(x + left),
                                                    wl_fixed_from_int(y + top));
  }
}

// A move by the event's deltas, unaccelerated, as pointer-locked clients read them. wl_fixed_t
// holds 23 bits of whole pixels: a longer move goes in steps, within one frame.
void move_pointer_by(const cg_record &r) {
  constexpr int64_t step = 8388607;
  int64_t dx = r.delta[0], dy = r.delta[1];
  do {
    int64_t sx = std::clamp(dx, -step, step), sy = std::clamp(dy, -step, step);
    wl_fixed_t fx = wl_fixed_from_int(static_cast<int>(sx)), fy = wl_fixed_from_int(static_cast<int>(sy));
    if (pointer != nullptr)
      zwlr_virtual_pointer_v1_motion(pointer, wl_now(), fx, fy);
    else
      org_kde_kwin_fake_input_pointer_motion(fake_input, fx, fy);
    dx -= sx;
    dy -= sy;
  } while (dx != 0 || dy != 0);
  // Where the compositor put the pointer is not known here: a button moves to its place first.
  sent_x = sent_y = -1;
}

void mouse(const cg_record &r) {
  wl_settle(&pointer_ready_at);
  if (r.relative && !is_button(r.type)) {
    move_pointer_by(r);
  } else if (!is_button(r.type)) {
    move_pointer(r);
  } else {
    // A button acts where the pointer is: put it at the event's place first if it is not there.
    int x = clamp(r.at.x - left, 0, width - 1), y = clamp(r.at.y - top, 0, height - 1);
    if (x != sent_x || y != sent_y) move_pointer(r);
    uint32_t b = r.button < std::size(buttons) ? buttons[r.button] : buttons[0];
    uint32_t state = is_press(r.type) ? 1 : 0;
    if (pointer != nullptr)
      zwlr_virtual_pointer_v1_button(pointer, wl_now(), b, state);
    else
      org_kde_kwin_fake_input_button(fake_input, b, state);
  }
  if (pointer != nullptr) zwlr_virtual_pointer_v1_frame(pointer);
}

// Scrolls one axis by pixels (positive down or right, as wl_pointer counts), with the whole
// notches that have accumulated.
void scroll_axis(int axis, int32_t pixels) {
  if (pixels == 0) return;
  wheel_rest[axis] += pixels;
  int64_t notches = wheel_rest[axis] / pixels_per_notch;
  wheel_rest[axis] -= notches * pixels_per_notch;
  auto a = static_cast<uint32_t>(axis);
  wl_fixed_t units = axis_units(axis, pixels);
  if (pointer == nullptr)
    org_kde_kwin_fake_input_axis(fake_input, a, units);
  else if (notches != 0)
    zwlr_virtual_pointer_v1_axis_discrete(pointer, wl_now(), a, units, static_cast<int32_t>(notches));
  else
    zwlr_virtual_pointer_v1_axis(pointer, wl_now(), a, units);
}

void scroll(const cg_record &r) {
  wl_settle(&pointer_ready_at);
  // Quartz's positive wheel values scroll up and left; wl_pointer's positive values down and right.
  scroll_axis(0, -r.wheel[0]);
  if (r.wheels >= 2) scroll_axis(1, -r.wheel[1]);
  if (pointer == nullptr) return;
  // After the axis values: wlroots 0.15 gives the source to the axis event before it.
  zwlr_virtual_pointer_v1_axis_source(pointer, 0);
  zwlr_virtual_pointer_v1_frame(pointer);
}

bool wayland_open() {
  error[0] = '\0';
  lost = false;
  if (!connect()) return false;
  const char *why = nullptr;
  if (pointer_manager != nullptr && keyboard_manager != nullptr && wl_the_seat != nullptr) {
    pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointer_manager, wl_the_seat);
    // The seat's capabilities are still those from before the pointer: no round trip since.
    pointer_ready_at = wl_ready_at((wl_seat_capabilities & 1) != 0);
    if (!wk_start(keyboard_manager, &why)) {
      snprintf(error, sizeof error, "%s", why);
      disconnect();
      return false;
    }
    snprintf(about, sizeof about,
             "events go to the Wayland compositor's virtual pointer and keyboard (%dx%d pixels at %d,%d)",
             width, height, left, top);
  } else if (fake_input != nullptr) {
    org_kde_kwin_fake_input_authenticate(
        fake_input, "hidpipe", "hidpipe drives the keyboard and mouse from commands on its standard input");
    snprintf(about, sizeof about, "events go to KWin's fake input (%dx%d pixels at %d,%d)", width, height,
             left, top);
  } else {
    snprintf(error, sizeof error,
             "the Wayland compositor offers no input protocol hidpipe speaks (wlroots' virtual pointer and "
             "keyboard, KWin's fake input)");
    disconnect();
    return false;
  }
  if (width <= 0 || height <= 0) {
    snprintf(error, sizeof error, "the Wayland compositor shows no output to put the pointer on");
    wayland_backend.close();
    return false;
  }
  // Ready when the compositor has made the devices. Fake input needs no wait: the compositor
  // handles the authentication before the requests that follow it.
  if (pointer != nullptr && !wl_roundtrip(answer_ms)) {
    snprintf(error, sizeof error, "the Wayland compositor does not answer (waited %u s)", answer_ms / 1000);
    wayland_backend.close();
    return false;
  }
  sent_x = -1;
  for (bool &h : held) h = false;
  caps_by_k = false;
  for (int axis = 0; axis < 2; axis++) wheel_rest[axis] = wheel_pixels[axis] = wheel_sent[axis] = 0;
  return true;
}

void fake_key(unsigned code, bool down) {
  org_kde_kwin_fake_input_keyboard_key(fake_input, code, down ? 1 : 0);
}

// Types text through fake input, which presses keys: each character by its key and level in the
// seat's layout, as a person would, with Caps Lock switched off around the text.
void fake_type(const cg_record &r) {
  xkb_layout_index_t layout = 0;
  int caps = -1;
  xkb_keymap *keymap = wk_seat_keymap(&layout, &caps);
  // The seat's keymap comes a round trip after the start: the first text waits for it.
  if (keymap == nullptr && wl_roundtrip(answer_ms)) keymap = wk_seat_keymap(&layout, &caps);
  if (keymap == nullptr)
    note_delivery("T: the seat's keymap is not known, so no text is typed");
  else
    type_text(keymap, layout, r, held, caps < 0 ? caps_by_k : caps != 0, fake_key);
}

void keyboard(const cg_record &r) {
  if (r.text_length > 0) {
    // Text is typed on the key-down that carries it.
    if (r.down && pointer != nullptr) wk_type(r);
    if (r.down && pointer == nullptr) fake_type(r);
    return;
  }
  unsigned code = evdev_of(r.keycode);
  if (code == 0) return;
  if (pointer != nullptr) {
    wk_key(code, r.down);
    return;
  }
  if (code < std::size(held)) held[code] = r.down;
  // The seat tells Caps Lock's state to the focused keyboard alone: follow K's presses.
  if (code == caps_lock && r.down) caps_by_k = !caps_by_k;
  fake_key(code, r.down);
}

bool wayland_deliver(const cg_record &r) {
  if (wl_connection == nullptr || lost) return false;
  switch (r.kind) {
    case cg_keyboard: keyboard(r); break;
    case cg_mouse: mouse(r); break;
    case cg_scroll: scroll(r); break;
  }
  return flush();
}

void wayland_close() {
  if (wl_connection == nullptr) return;
  if (!lost) {
    if (pointer != nullptr) zwlr_virtual_pointer_v1_destroy(pointer);
    pointer = nullptr;
    wk_stop();
    wl_roundtrip(read_ms);
  }
  disconnect();
}

const char *wayland_error() { return error[0] != '\0' ? error : nullptr; }
const char *wayland_about() { return about; }

const char *wayland_cannot_type() { return nullptr; }

// A round trip: once the compositor answers, it has handled every request before. A new device's
// settle is waited out first, so that a reply also says the next event can go at once.
bool wayland_sync() {
  if (wl_connection == nullptr || lost) return false;
  wl_settle(&pointer_ready_at);
  wk_settle();
  if (wl_roundtrip(read_ms)) return true;
  // A stop signal cut the wait short: the releases follow, without a reply.
  if (lost || (host_stop_signal() != 0 && !host_ending())) return false;
  lost = true;
  snprintf(error, sizeof error, "the Wayland compositor did not answer for %u s", read_ms / 1000);
  return false;
}

}  // namespace

const backend wayland_backend = {"wayland",     wayland_open,  wayland_deliver,     wayland_close,
                                 wayland_error, wayland_about, wayland_cannot_type, wayland_sync};

namespace {

uint64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

}  // namespace

uint64_t wl_ready_at(bool seat_had_one) { return seat_had_one ? 0 : monotonic_ns() + wl_settle_ns; }

void wl_settle(uint64_t *ready_at) {
  uint64_t now = monotonic_ns();
  if (*ready_at > now) host_sleep(static_cast<unsigned>((*ready_at - now + 999999) / 1000000));
  *ready_at = 0;
}

bool wl_roundtrip_on(wl_display *d, unsigned ms) {
  if (d == nullptr) return false;
  bool done = false;
  auto *proxy = reinterpret_cast<wl_proxy *>(d);
  // The display's request 0, sync.
  auto *callback = reinterpret_cast<wl_callback *>(
      wl.proxy_marshal_flags(proxy, 0, &wl_callback_interface, wl.proxy_get_version(proxy), 0, nullptr));
  if (callback == nullptr) return false;
  wl_callback_add_listener(callback, &done_listener, &done);
  uint64_t until = monotonic_ns() + uint64_t{ms} * 1000000u;
  int fd = wl.display_get_fd(d);
  while (!done) {
    uint64_t now = monotonic_ns();
    if (now >= until) break;
    auto left_ms = static_cast<unsigned>((until - now + 999999) / 1000000);
    if (wl.display_flush(d) < 0) {
      if (errno != EAGAIN || host_wait(fd, POLLOUT, left_ms) != host_ready) break;
      continue;
    }
    while (wl.display_prepare_read(d) != 0) wl.display_dispatch_pending(d);
    if (done) {
      wl.display_cancel_read(d);
      break;
    }
    if (host_wait(fd, POLLIN, left_ms) != host_ready) {
      wl.display_cancel_read(d);
      break;
    }
    if (wl.display_read_events(d) < 0) break;
    wl.display_dispatch_pending(d);
  }
  wl.proxy_destroy(reinterpret_cast<wl_proxy *>(callback));
  return done;
}

void wl_take_pending(wl_display *d) {
  while (wl.display_prepare_read(d) != 0) wl.display_dispatch_pending(d);
  pollfd p{wl.display_get_fd(d), POLLIN, 0};
  if (poll(&p, 1, 0) > 0)
    wl.display_read_events(d);
  else
    wl.display_cancel_read(d);
  wl.display_dispatch_pending(d);
}

bool wl_roundtrip(unsigned ms) { return !lost && wl_roundtrip_on(wl_connection, ms); }

bool wl_load(const char **why) {
  if (!loaded && !load()) {
    *why = error;
    return false;
  }
  return true;
}

uint32_t wl_now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

xkb_keymap *wayland_seat_keymap() {
  if (!env_set("WAYLAND_DISPLAY") || wl_connection != nullptr || !connect()) return nullptr;
  // A new keyboard of the seat hears the keymap at once: a round trip after connect asked for it.
  xkb_layout_index_t layout = 0;
  int caps = -1;
  xkb_keymap *keymap = wl_roundtrip(answer_ms) ? wk_seat_keymap(&layout, &caps) : nullptr;
  if (keymap != nullptr) xkb.keymap_ref(keymap);
  disconnect();
  return keymap;
}

bool wayland_desktop_size(int *w, int *h) {
  const char *name = getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0' || wl_connection != nullptr || !connect()) return false;
  *w = width;
  *h = height;
  disconnect();
  return *w > 0 && *h > 0;
}
