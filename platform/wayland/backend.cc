// The Wayland backend: the compositor's own protocols for input. wlroots-based compositors (sway,
// Hyprland, river, labwc, Wayfire) offer a virtual pointer and a virtual keyboard; KDE's KWin
// offers fake input to programs it lets use it. libwayland-client and libxkbcommon are loaded only
// when the backend is chosen.
#include "wayland/connection.h"
#include "wayland/keyboard.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "backend.h"
#include "environment.h"
#include "host.h"
#include "shared/evdev.h"
#include "shared/keymap.h"

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
bool kde;                   // KDE's protocols offered: KWin, which may keep fake input back
bool held[256];             // evdev keys held through fake input
bool caps_by_k;             // Caps Lock as K's presses of it left it
uint64_t pointer_ready_at;  // when the new pointer may move: wl_ready_at
int64_t wheel_rest[2];      // pixels since a notch's boundary: vertical, horizontal
int64_t wheel_pixels[2];    // pixels scrolled in all, per axis
wl_fixed_t wheel_sent[2];   // axis units sent in all, per axis
char error[900];            // why the backend cannot start, or was wl_lost
char about[400];            // where events go, for --verbose

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
  // Rounded to the nearest 1/256 here: libwayland 1.23's own conversion truncates, 1.21's rounded.
  wl_fixed_t total = static_cast<wl_fixed_t>(
      std::lround(static_cast<double>(wheel_pixels[axis]) * units_per_notch / pixels_per_notch * 256.0));
  wl_fixed_t step = total - wheel_sent[axis];
  wheel_sent[axis] = total;
  return step;
}

// Linux buttons by platform button: left, right, center, back, forward.
constexpr uint32_t buttons[] = {0x110, 0x111, 0x112, 0x113, 0x114};

// The Caps Lock key's evdev code (KEY_CAPSLOCK).
constexpr unsigned caps_lock = 58;

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
  if (strncmp(interface, "org_kde_", 8) == 0 || strncmp(interface, "kde_", 4) == 0) kde = true;
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

void disconnect();

// Connects and learns the globals and the outputs' places. False, with error set, when the
// compositor cannot be reached.
bool connect() {
  const char *why = nullptr;
  if (!wl_load(&why)) {
    snprintf(error, sizeof error, "%s", why);
    return false;
  }
  wl_connection = wl.display_connect(nullptr);
  if (wl_connection == nullptr) {
    const char *name = getenv("WAYLAND_DISPLAY");
    const char *said = wl_complaint();
    snprintf(error, sizeof error, "cannot connect to the Wayland compositor \"%s\"%s%s",
             name != nullptr ? name : "", said[0] != '\0' ? ": " : "", said);
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
  kde = false;
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
    wl_lost = true;
    snprintf(error, sizeof error,
             host_ending() ? "the Wayland compositor did not take the releases in time"
                           : "the Wayland compositor read nothing for %u s",
             read_ms / 1000);
    return false;
  }
  wl_lost = true;
  snprintf(error, sizeof error, "wl_lost the connection to the Wayland compositor");
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

// Scrolls one axis by pixels (positive down or right, as wl_pointer counts). A scroll of whole
// notches from a notch's boundary is a wheel's, and its notches go with it; any other is smooth
// alone: clients that take a frame's notches for its whole distance (wl_pointer's value120, as
// Chromium does on sway 1.10) would count again what partial scrolls before it had covered.
void scroll_axis(int axis, int32_t pixels) {
  if (pixels == 0) return;
  bool whole = wheel_rest[axis] == 0 && pixels % pixels_per_notch == 0;
  int64_t notches = whole ? pixels / pixels_per_notch : 0;
  wheel_rest[axis] = (wheel_rest[axis] + pixels) % pixels_per_notch;
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
  wl_lost = false;
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
  } else if (kde) {
    // KWin offers fake input only to the programs its grant names, and says why not in its own log.
    char self[256] = "its path";
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) self[n] = '\0';
    snprintf(
        error, sizeof error,
        "KWin keeps its fake input from this program (%s): it grants it to a program whose .desktop "
        "file (in an applications folder, such as /usr/share/applications) lists org_kde_kwin_fake_input "
        "in X-KDE-Wayland-Interfaces and has Exec= that full path (cmake --install installs one for the "
        "installed binary), and KWin 6 finds the file only through an XDG applications menu "
        "(applications.menu in /etc/xdg/menus or ~/.config/menus; a Plasma session has one); KWin's log "
        "says \"Could not find the desktop file\" when it found none",
        self);
    disconnect();
    return false;
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
  // Ready when the compositor has made the devices, or taken the authentication: KWin 5.27 with its
  // checks on dropped, under load, every event of a session sent right after it (3 sessions of 14).
  if (!wl_roundtrip(answer_ms)) {
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
  if (wl_connection == nullptr || wl_lost) return false;
  switch (r.kind) {
    case cg_keyboard: keyboard(r); break;
    case cg_mouse: mouse(r); break;
    case cg_scroll: scroll(r); break;
  }
  return flush();
}

void wayland_close() {
  if (wl_connection == nullptr) return;
  if (!wl_lost) {
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
  if (wl_connection == nullptr || wl_lost) return false;
  wl_settle(&pointer_ready_at);
  wk_settle();
  if (wl_roundtrip(read_ms)) return true;
  // A stop signal cut the wait short: the releases follow, without a reply.
  if (wl_lost || (host_stop_signal() != 0 && !host_ending())) return false;
  wl_lost = true;
  snprintf(error, sizeof error, "the Wayland compositor did not answer for %u s", read_ms / 1000);
  return false;
}

}  // namespace

const backend wayland_backend = {"wayland",     wayland_open,  wayland_deliver,     wayland_close,
                                 wayland_error, wayland_about, wayland_cannot_type, wayland_sync};

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
