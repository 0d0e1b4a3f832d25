// The ei backend: libei's emulated input, on the socket a compositor hands out on the session bus:
// KWin's (6.1 and later) connectToEIS, else a mutter (45 and later) remote-desktop session's
// ConnectToEIS. The compositor's seat offers devices (an absolute pointer over the desktop's
// regions, a relative one, a keyboard with the user's keymap); hidpipe binds them and emulates.
// libei, libsystemd and libxkbcommon are loaded only when it is chosen.
#include <dlfcn.h>
#include <fcntl.h>
#include <libei.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "backend.h"
#include "ei/portal.h"
#include "host.h"
#include "shared/bus.h"
#include "shared/evdev.h"
#include "shared/idle.h"
#include "shared/layout.h"
#include "shared/nearest.h"
#include "shared/symbols.h"

namespace {

// The functions used from libei.
struct ei_functions {
  decltype(&ei_new_sender) new_sender;
  decltype(&ei_configure_name) configure_name;
  decltype(&ei_setup_backend_fd) setup_backend_fd;
  decltype(&ei_get_fd) get_fd;
  decltype(&ei_dispatch) dispatch;
  decltype(&ei_get_event) get_event;
  decltype(&ei_event_get_type) event_get_type;
  decltype(&ei_event_get_seat) event_get_seat;
  decltype(&ei_event_get_device) event_get_device;
  decltype(&ei_event_pong_get_ping) event_pong_get_ping;
  decltype(&ei_event_unref) event_unref;
  decltype(&ei_seat_bind_capabilities) seat_bind_capabilities;
  decltype(&ei_device_has_capability) device_has_capability;
  decltype(&ei_device_ref) device_ref;
  decltype(&ei_device_unref) device_unref;
  decltype(&ei_device_start_emulating) device_start_emulating;
  decltype(&ei_device_stop_emulating) device_stop_emulating;
  decltype(&ei_device_frame) device_frame;
  decltype(&ei_now) now;
  decltype(&ei_device_pointer_motion) pointer_motion;
  decltype(&ei_device_pointer_motion_absolute) pointer_motion_absolute;
  decltype(&ei_device_button_button) button_button;
  decltype(&ei_device_scroll_delta) scroll_delta;
  decltype(&ei_device_scroll_discrete) scroll_discrete;
  decltype(&ei_device_keyboard_key) keyboard_key;
  decltype(&ei_device_get_region) get_region;
  decltype(&ei_region_get_x) region_x;
  decltype(&ei_region_get_y) region_y;
  decltype(&ei_region_get_width) region_width;
  decltype(&ei_region_get_height) region_height;
  decltype(&ei_device_keyboard_get_keymap) keyboard_get_keymap;
  decltype(&ei_keymap_get_fd) keymap_fd;
  decltype(&ei_keymap_get_size) keymap_size;
  decltype(&ei_keymap_get_type) keymap_type;
  decltype(&ei_new_ping) new_ping;
  decltype(&ei_ping) ping;
  decltype(&ei_ping_unref) ping_unref;
  decltype(&ei_unref) unref;
};

ei_functions lib;

// How long the compositor has to answer at start, and to take what is sent mid-session.
constexpr unsigned answer_ms = 3000;
constexpr unsigned read_ms = 10000;
// Events sent at once after a device resumes are lost, on a seat with no other device (mutter
// 48); 300 ms after, they arrive.
constexpr unsigned settle_ms = 300;
// Events sent between round trips at most.
constexpr int most_unconfirmed = 256;
// A wheel's notch: 120 pixels of W, sent as value120 120 with its smooth distance.
constexpr int pixels_per_notch = 120;
constexpr uint32_t buttons[] = {0x110, 0x111, 0x112, 0x113, 0x114};  // BTN_LEFT, RIGHT, MIDDLE, SIDE, EXTRA
constexpr unsigned caps_lock = 58;

bool loaded;            // whether the libraries are loaded
sd_bus *bus;            // the session bus, while connected
int kwin_cookie = -1;   // KWin's number for the connection, to end it; -1 on mutter
char session[128];      // mutter's remote-desktop session's path, or empty
struct ei *context;     // libei's connection, while open
bool lost;              // the connection broke; nothing more is sent
bool on_mutter;         // mutter merges unpaced absolute motion: each move waits for a pong
ei_device *devices[8];  // the seat's devices, as added
bool resumed[8];        // which of them may emulate now
int device_count;
uint32_t sequence;        // the last start_emulating's number
struct ei_ping *waiting;  // the ping whose pong is awaited, or null
bool ponged;              // its pong came
struct area {
  int x, y, width, height;
};
area regions[8];  // the absolute device's regions: the desktop's monitors, in logical pixels
int region_count;
int left, top, right, bottom;  // the desktop: the union of the regions
xkb_context *xkb_ctx;
xkb_keymap *keymap;     // the keyboard device's keymap: the user's layout
bool held[256];         // evdev keys held through K
bool caps_by_k;         // Caps Lock as K's presses of it left it
uint64_t ready_at;      // when the devices may take events: settle_ms after they resumed
int wheel_rest[2];      // pixels since a notch's boundary, per axis
int unconfirmed_count;  // events sent since the last round trip
idle_watch idle;        // on mutter: what it has not been seen to give the windows
char error[900];        // why the backend cannot start, or was lost
char about[400];        // where events go, for --verbose

bool load() {
  void *library = dlopen("libei.so.1", RTLD_NOW | RTLD_LOCAL);
  const char *why = nullptr;
  if (library == nullptr) {
    why = dlerror();
    snprintf(error, sizeof error, "cannot load libei (Debian 13: libei1): %s",
             why != nullptr ? why : "not found");
    return false;
  }
  if (!sd_load(&why) || !xkb_load(&why)) {
    snprintf(error, sizeof error, "%s", why);
    return false;
  }
  loaded =
      find_symbol(library, "ei_new_sender", &lib.new_sender) &&
      find_symbol(library, "ei_configure_name", &lib.configure_name) &&
      find_symbol(library, "ei_setup_backend_fd", &lib.setup_backend_fd) &&
      find_symbol(library, "ei_get_fd", &lib.get_fd) && find_symbol(library, "ei_dispatch", &lib.dispatch) &&
      find_symbol(library, "ei_get_event", &lib.get_event) &&
      find_symbol(library, "ei_event_get_type", &lib.event_get_type) &&
      find_symbol(library, "ei_event_get_seat", &lib.event_get_seat) &&
      find_symbol(library, "ei_event_get_device", &lib.event_get_device) &&
      find_symbol(library, "ei_event_pong_get_ping", &lib.event_pong_get_ping) &&
      find_symbol(library, "ei_event_unref", &lib.event_unref) &&
      find_symbol(library, "ei_seat_bind_capabilities", &lib.seat_bind_capabilities) &&
      find_symbol(library, "ei_device_has_capability", &lib.device_has_capability) &&
      find_symbol(library, "ei_device_ref", &lib.device_ref) &&
      find_symbol(library, "ei_device_unref", &lib.device_unref) &&
      find_symbol(library, "ei_device_start_emulating", &lib.device_start_emulating) &&
      find_symbol(library, "ei_device_stop_emulating", &lib.device_stop_emulating) &&
      find_symbol(library, "ei_device_frame", &lib.device_frame) &&
      find_symbol(library, "ei_now", &lib.now) &&
      find_symbol(library, "ei_device_pointer_motion", &lib.pointer_motion) &&
      find_symbol(library, "ei_device_pointer_motion_absolute", &lib.pointer_motion_absolute) &&
      find_symbol(library, "ei_device_button_button", &lib.button_button) &&
      find_symbol(library, "ei_device_scroll_delta", &lib.scroll_delta) &&
      find_symbol(library, "ei_device_scroll_discrete", &lib.scroll_discrete) &&
      find_symbol(library, "ei_device_keyboard_key", &lib.keyboard_key) &&
      find_symbol(library, "ei_device_get_region", &lib.get_region) &&
      find_symbol(library, "ei_region_get_x", &lib.region_x) &&
      find_symbol(library, "ei_region_get_y", &lib.region_y) &&
      find_symbol(library, "ei_region_get_width", &lib.region_width) &&
      find_symbol(library, "ei_region_get_height", &lib.region_height) &&
      find_symbol(library, "ei_device_keyboard_get_keymap", &lib.keyboard_get_keymap) &&
      find_symbol(library, "ei_keymap_get_fd", &lib.keymap_fd) &&
      find_symbol(library, "ei_keymap_get_size", &lib.keymap_size) &&
      find_symbol(library, "ei_keymap_get_type", &lib.keymap_type) &&
      find_symbol(library, "ei_new_ping", &lib.new_ping) && find_symbol(library, "ei_ping", &lib.ping) &&
      find_symbol(library, "ei_ping_unref", &lib.ping_unref) && find_symbol(library, "ei_unref", &lib.unref);
  if (!loaded) snprintf(error, sizeof error, "libei lacks a function hidpipe needs (libei 1.0 or later)");
  return loaded;
}

void mark_lost(const char *why) {
  if (lost) return;
  lost = true;
  snprintf(error, sizeof error, "lost the compositor's EIS: %.300s", why);
}

// The first resumed device with a capability, or null.
ei_device *with(ei_device_capability cap) {
  for (int i = 0; i < device_count; i++)
    if (resumed[i] && lib.device_has_capability(devices[i], cap)) return devices[i];
  return nullptr;
}

// Reads the absolute device's regions, and the desktop they make.
void read_regions() {
  if (ei_device *a = with(EI_DEVICE_CAP_POINTER_ABSOLUTE)) {
    region_count = 0;
    for (size_t i = 0; region_count < static_cast<int>(std::size(regions)); i++) {
      ei_region *g = lib.get_region(a, i);
      if (g == nullptr) break;
      regions[region_count++] = {static_cast<int>(lib.region_x(g)), static_cast<int>(lib.region_y(g)),
                                 static_cast<int>(lib.region_width(g)),
                                 static_cast<int>(lib.region_height(g))};
    }
    for (int i = 0; i < region_count; i++) {
      const area &g = regions[i];
      if (i == 0 || g.x < left) left = g.x;
      if (i == 0 || g.y < top) top = g.y;
      if (i == 0 || g.x + g.width > right) right = g.x + g.width;
      if (i == 0 || g.y + g.height > bottom) bottom = g.y + g.height;
    }
  }
}

// Reads the keyboard's keymap: the user's layout.
void read_keymap() {
  ei_device *k = with(EI_DEVICE_CAP_KEYBOARD);
  ei_keymap *m = k != nullptr ? lib.keyboard_get_keymap(k) : nullptr;
  if (m == nullptr || lib.keymap_type(m) != EI_KEYMAP_TYPE_XKB) return;
  size_t size = lib.keymap_size(m);
  void *text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, lib.keymap_fd(m), 0);
  if (text == MAP_FAILED) return;
  if (xkb_ctx == nullptr) xkb_ctx = xkb_quiet_context();
  xkb_keymap *km = xkb_ctx == nullptr
                       ? nullptr
                       : xkb.keymap_new_from_string(xkb_ctx, static_cast<const char *>(text),
                                                    XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  munmap(text, size);
  if (km == nullptr) return;
  if (keymap != nullptr) xkb.keymap_unref(keymap);
  keymap = km;
}

void on_event(ei_event *e) {
  ei_device *d = lib.event_get_device(e);
  int index = -1;
  for (int i = 0; i < device_count; i++)
    if (devices[i] == d) index = i;
  switch (lib.event_get_type(e)) {
    case EI_EVENT_DISCONNECT: mark_lost("it ended the connection"); break;
    case EI_EVENT_SEAT_ADDED:
      lib.seat_bind_capabilities(lib.event_get_seat(e), EI_DEVICE_CAP_POINTER, EI_DEVICE_CAP_POINTER_ABSOLUTE,
                                 EI_DEVICE_CAP_KEYBOARD, EI_DEVICE_CAP_BUTTON, EI_DEVICE_CAP_SCROLL, nullptr);
      break;
    case EI_EVENT_DEVICE_ADDED:
      if (index < 0 && device_count < static_cast<int>(std::size(devices))) {
        devices[device_count] = lib.device_ref(d);
        resumed[device_count++] = false;
      }
      break;
    case EI_EVENT_DEVICE_REMOVED:
      if (index >= 0) {
        lib.device_unref(devices[index]);
        devices[index] = devices[--device_count];
        resumed[index] = resumed[device_count];
      }
      break;
    case EI_EVENT_DEVICE_RESUMED:
      if (index >= 0) {
        resumed[index] = true;
        lib.device_start_emulating(d, ++sequence);
        ready_at = host_clock_ns() + uint64_t{settle_ms} * 1000000u;
        read_regions();
        read_keymap();
      }
      break;
    case EI_EVENT_DEVICE_PAUSED:
      if (index >= 0) resumed[index] = false;
      break;
    case EI_EVENT_PONG:
      if (lib.event_pong_get_ping(e) == waiting) ponged = true;
      break;
    default: break;
  }
  lib.event_unref(e);
}

// Handles what the compositor sent; false once the connection broke.
bool pump() {
  lib.dispatch(context);
  for (ei_event *e = nullptr; (e = lib.get_event(context)) != nullptr;) on_event(e);
  return !lost;
}

// Waits at most ms for the compositor to say something; false on a stop signal, or when it said
// nothing.
bool wait_for(unsigned ms) { return host_wait(lib.get_fd(context), POLLIN, ms) == host_ready; }

// A round trip: once the pong comes, the compositor has taken every event sent before the ping.
bool round_trip(unsigned ms) {
  if (waiting != nullptr) lib.ping_unref(waiting);
  waiting = lib.new_ping(context);
  ponged = false;
  if (waiting == nullptr) return false;
  lib.ping(waiting);
  uint64_t until = host_clock_ns() + uint64_t{ms} * 1000000u;
  while (pump() && !ponged) {
    uint64_t now = host_clock_ns();
    if (now >= until || !wait_for(static_cast<unsigned>((until - now) / 1000000u) + 1)) break;
  }
  return ponged;
}

// Waits for mutter to take what was sent and pass it on. The pong says its EIS has read it; but its
// main loop serves EIS first, and motion that piles up on its way back from the input thread is
// merged: with two busy loops beside it, 4 runs of 6 lost 126 to 335 of 10,000 moves. A call on the
// bus, which that loop serves after EIS, gives the rest a turn: none lost in 4 runs. It asks about
// the service, not a session, as behind the portal the session is the portal's.
bool mutter_turn() {
  if (!round_trip(read_ms)) return false;
  char why[200];
  sd_bus_message *m = bus_call(bus, read_ms, why, sizeof why, "org.gnome.Mutter.RemoteDesktop",
                               "/org/gnome/Mutter/RemoteDesktop", "org.freedesktop.DBus.Properties", "Get",
                               "ss", "org.gnome.Mutter.RemoteDesktop", "SupportedDeviceTypes");
  if (m == nullptr) return false;
  sd.message_unref(m);
  return true;
}

// Whether a program on the bus has that name.
bool has_owner(const char *name) {
  char why[200];
  sd_bus_message *m = bus_call(bus, answer_ms, why, sizeof why, "org.freedesktop.DBus",
                               "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner", "s", name);
  int owned = 0;
  if (m != nullptr && sd.read(m, "b", &owned) < 0) owned = 0;
  if (m != nullptr) sd.message_unref(m);
  return owned != 0;
}

// The socket from KWin's connectToEIS, or -1.
int kwin_socket(char *why, size_t n) {
  // Keyboard 1, pointer 2, touch 4: KWin gives the devices for what is asked.
  sd_bus_message *m = bus_call(bus, answer_ms, why, n, "org.kde.KWin", "/org/kde/KWin/EIS/RemoteDesktop",
                               "org.kde.KWin.EIS.RemoteDesktop", "connectToEIS", "i", 7);
  int fd = -1, cookie = -1;
  if (m != nullptr && sd.read(m, "hi", &fd, &cookie) >= 0 && fd >= 0) {
    fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    kwin_cookie = cookie;
  } else {
    fd = -1;
  }
  if (m != nullptr) sd.message_unref(m);
  return fd;
}

// The socket from a mutter remote-desktop session's ConnectToEIS, the session started, or -1.
int mutter_socket(char *why, size_t n) {
  const char *mutter = "org.gnome.Mutter.RemoteDesktop", *remote = "org.gnome.Mutter.RemoteDesktop.Session";
  sd_bus_message *m = bus_call(bus, answer_ms, why, n, mutter, "/org/gnome/Mutter/RemoteDesktop", mutter,
                               "CreateSession", nullptr);
  const char *path = nullptr;
  if (m == nullptr || sd.read(m, "o", &path) < 0 || path == nullptr) {
    if (m != nullptr) sd.message_unref(m);
    return -1;
  }
  snprintf(session, sizeof session, "%s", path);
  sd.message_unref(m);
  m = bus_call(bus, answer_ms, why, n, mutter, session, remote, "Start", nullptr);
  if (m == nullptr) return -1;
  sd.message_unref(m);
  m = bus_call(bus, answer_ms, why, n, mutter, session, remote, "ConnectToEIS", "a{sv}", 0);
  int fd = -1;
  if (m != nullptr && sd.read(m, "h", &fd) >= 0 && fd >= 0)
    fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  else
    fd = -1;
  if (m != nullptr) sd.message_unref(m);
  on_mutter = fd >= 0;
  return fd;
}

// The EIS socket from the first way that gives one (HIDPIPE_EIS names one alone): KWin's, mutter's,
// the portal's; *who says whose. -1, with error saying what each answered, when none did.
int eis_socket(const char **who) {
  const char *only = getenv("HIDPIPE_EIS");
  if (only != nullptr && *only == '\0') only = nullptr;
  char kwin_why[200] = "not asked", mutter_why[200] = "not asked", portal_why[300] = "not asked";
  int fd = -1;
  if (only == nullptr || strcmp(only, "kwin") == 0) {
    fd = kwin_socket(kwin_why, sizeof kwin_why);
    *who = "KWin";
    // A bus that did not answer KWin will not answer the others either: the start keeps its bound.
    if (fd < 0 && (host_stop_signal() != 0 || strstr(kwin_why, "no answer") != nullptr)) {
      snprintf(error, sizeof error, "the session bus did not answer (%s)", kwin_why);
      return -1;
    }
  }
  if (fd < 0 && (only == nullptr || strcmp(only, "mutter") == 0)) {
    fd = mutter_socket(mutter_why, sizeof mutter_why);
    *who = "mutter";
  }
  if (fd < 0 && (only == nullptr || strcmp(only, "portal") == 0)) {
    fd = portal_socket(bus, portal_why, sizeof portal_why);
    *who = "the RemoteDesktop portal";
    // GNOME's portal hands out mutter's own EIS, which wants the same pacing.
    on_mutter = fd >= 0 && has_owner("org.gnome.Mutter.RemoteDesktop");
  }
  if (fd < 0)
    snprintf(error, sizeof error,
             "nothing on the session bus hands out an EIS socket (KWin: %s; mutter: %s; "
             "the RemoteDesktop portal: %s)",
             kwin_why, mutter_why, portal_why);
  return fd;
}

void disconnect() {
  for (int i = 0; i < device_count; i++) lib.device_unref(devices[i]);
  device_count = 0;
  if (waiting != nullptr) lib.ping_unref(waiting);
  waiting = nullptr;
  if (context != nullptr) lib.unref(context);
  context = nullptr;
  char why[200];
  if (bus != nullptr && !lost && kwin_cookie >= 0) {
    sd_bus_message *m =
        bus_call(bus, answer_ms, why, sizeof why, "org.kde.KWin", "/org/kde/KWin/EIS/RemoteDesktop",
                 "org.kde.KWin.EIS.RemoteDesktop", "disconnect", "i", kwin_cookie);
    if (m != nullptr) sd.message_unref(m);
  }
  if (bus != nullptr && !lost && session[0] != '\0') {
    sd_bus_message *m = bus_call(bus, answer_ms, why, sizeof why, "org.gnome.Mutter.RemoteDesktop", session,
                                 "org.gnome.Mutter.RemoteDesktop.Session", "Stop", nullptr);
    if (m != nullptr) sd.message_unref(m);
  }
  if (!lost) portal_close(bus);  // also a session the portal refused to start
  kwin_cookie = -1;
  session[0] = '\0';
  if (bus != nullptr) {
    sd.close(bus);
    sd.unref(bus);
  }
  bus = nullptr;
  if (keymap != nullptr) xkb.keymap_unref(keymap);
  keymap = nullptr;
}

bool fail(const char *format, const char *what) {
  snprintf(error, sizeof error, format, what);
  disconnect();
  return false;
}

bool ei_open() {
  error[0] = '\0';
  lost = on_mutter = false;
  idle = {};
  unconfirmed_count = 0;
  device_count = region_count = 0;
  if (!loaded && !load()) return false;
  if (sd.open_user(&bus) < 0) {
    bus = nullptr;
    return fail("%s", "cannot connect to the session bus (DBUS_SESSION_BUS_ADDRESS)");
  }
  const char *who = nullptr;
  int fd = eis_socket(&who);
  if (fd < 0) {
    disconnect();
    return false;
  }
  context = lib.new_sender(nullptr);
  if (context == nullptr) {
    close(fd);
    return fail("%s", "libei could not make a context");
  }
  lib.configure_name(context, "hidpipe");
  if (lib.setup_backend_fd(context, fd) < 0) return fail("libei could not use %s's EIS socket", who);
  // The seat, its devices bound and resumed: mutter and KWin offer a keyboard, an absolute pointer
  // and a relative one, one after another; without the relative one D goes nowhere, but the rest
  // works.
  uint64_t until = host_clock_ns() + uint64_t{answer_ms} * 1000000u;
  while (pump() &&
         (with(EI_DEVICE_CAP_KEYBOARD) == nullptr || with(EI_DEVICE_CAP_POINTER_ABSOLUTE) == nullptr ||
          with(EI_DEVICE_CAP_POINTER) == nullptr)) {
    uint64_t now = host_clock_ns();
    if (now >= until || !wait_for(static_cast<unsigned>((until - now) / 1000000u) + 1)) break;
  }
  if (host_stop_signal() != 0) return fail("%s", "stopped while the devices came");
  if (!lost && (with(EI_DEVICE_CAP_KEYBOARD) == nullptr || with(EI_DEVICE_CAP_POINTER_ABSOLUTE) == nullptr))
    return fail("%s's EIS gave no absolute pointer and keyboard to emulate (waited 3 s)", who);
  if (lost) {  // error says how
    disconnect();
    return false;
  }
  if (region_count == 0) return fail("%s's EIS gave no absolute pointer with the desktop's regions", who);
  const char *name = keymap != nullptr ? xkb.keymap_layout_get_name(keymap, 0) : nullptr;
  snprintf(about, sizeof about, "events go to %s's EIS through libei (%dx%d pixels at %d,%d; keymap: %s)",
           who, right - left, bottom - top, left, top, name != nullptr ? name : "unknown");
  for (bool &h : held) h = false;
  caps_by_k = false;
  wheel_rest[0] = wheel_rest[1] = 0;
  return true;
}

void frame(ei_device *d) { lib.device_frame(d, lib.now(context)); }

void move_to(const cg_record &r) {
  ei_device *a = with(EI_DEVICE_CAP_POINTER_ABSOLUTE);
  if (a == nullptr) return;
  int x = 0, y = 0;
  nearest_pixel(regions, region_count, left, top, right, bottom, r.at.x, r.at.y, &x, &y);
  lib.pointer_motion_absolute(a, x, y);
  frame(a);
  // mutter merges absolute moves that queue up on their way to the windows: each waits for its turn.
  if (on_mutter && !mutter_turn() && !lost && host_stop_signal() == 0)
    mark_lost("it took no motion for a while");
}

void mouse(const cg_record &r) {
  if (r.relative && !is_button(r.type)) {
    if (ei_device *p = with(EI_DEVICE_CAP_POINTER)) {
      lib.pointer_motion(p, static_cast<double>(r.delta[0]), static_cast<double>(r.delta[1]));
      frame(p);
    }
    return;
  }
  move_to(r);
  if (!is_button(r.type)) return;
  ei_device *a = with(EI_DEVICE_CAP_POINTER_ABSOLUTE);
  ei_device *b =
      a != nullptr && lib.device_has_capability(a, EI_DEVICE_CAP_BUTTON) ? a : with(EI_DEVICE_CAP_BUTTON);
  if (b == nullptr) return;
  lib.button_button(b, r.button < std::size(buttons) ? buttons[r.button] : buttons[0], is_press(r.type));
  frame(b);
}

// Scrolls by pixels on each axis (positive down and right): smooth distance, with a wheel's notches
// (value120) for scrolls of whole notches from a notch's boundary.
void scroll(const cg_record &r) {
  ei_device *a = with(EI_DEVICE_CAP_POINTER_ABSOLUTE);
  ei_device *s =
      a != nullptr && lib.device_has_capability(a, EI_DEVICE_CAP_SCROLL) ? a : with(EI_DEVICE_CAP_SCROLL);
  if (s == nullptr) return;
  // Quartz's positive wheel values scroll up and left.
  int pixels[2] = {r.wheels >= 2 ? -r.wheel[1] : 0, -r.wheel[0]};
  bool whole = true;
  for (int axis = 0; axis < 2; axis++) {
    whole = whole && (pixels[axis] == 0 || (wheel_rest[axis] == 0 && pixels[axis] % pixels_per_notch == 0));
    wheel_rest[axis] = (wheel_rest[axis] + pixels[axis]) % pixels_per_notch;
  }
  if (whole)
    lib.scroll_discrete(s, pixels[0], pixels[1]);
  else
    lib.scroll_delta(s, pixels[0] / 12.0, pixels[1] / 12.0);
  frame(s);
}

void press(unsigned code, bool down) {
  ei_device *k = with(EI_DEVICE_CAP_KEYBOARD);
  if (k == nullptr) return;
  lib.keyboard_key(k, code, down);
  frame(k);
}

void keyboard(const cg_record &r) {
  if (r.text_length > 0) {
    if (!r.down) return;
    if (keymap == nullptr)
      note_delivery("T: the EIS keyboard's keymap is not known, so no text is typed");
    else
      type_text(keymap, 0, r, held, caps_by_k, press);
    return;
  }
  unsigned code = evdev_of(r.keycode);
  if (code == 0) return;
  if (code < std::size(held)) held[code] = r.down;
  if (code == caps_lock && r.down) caps_by_k = !caps_by_k;
  press(code, r.down);
}

bool ei_deliver(const cg_record &r) {
  if (context == nullptr || lost || !pump()) return false;
  uint64_t now = host_clock_ns();
  if (now < ready_at) host_sleep(static_cast<unsigned>((ready_at - now) / 1000000u) + 1);
  switch (r.kind) {
    case cg_keyboard: keyboard(r); break;
    case cg_mouse: mouse(r); break;
    case cg_scroll: scroll(r); break;
  }
  if (on_mutter) idle_sent(&idle);
  // libei keeps what the socket does not take, without a bound: a round trip now and then keeps
  // that to a few events while the compositor is slow or stopped; and each of the releases at the
  // end is seen taken, or the ending says they may be left held.
  if (++unconfirmed_count >= most_unconfirmed || host_ending()) {
    unconfirmed_count = 0;
    if (!round_trip(read_ms)) {
      if (lost || (host_stop_signal() != 0 && !host_ending())) return false;
      mark_lost(host_ending() ? "it did not take the releases within the ending's grace"
                              : "it took no events for 10 s");
      return false;
    }
  }
  return pump();
}

// Once the compositor has taken every event sent so far and, on mutter, given them to the windows.
bool taken() {
  if (!on_mutter) return round_trip(read_ms);
  return mutter_turn() && idle_await(bus, &idle, read_ms, "mutter") == idle_wait::passed;
}

void ei_close() {
  if (context != nullptr && !lost) {
    taken();
    for (int i = 0; i < device_count; i++)
      if (resumed[i]) lib.device_stop_emulating(devices[i]);
    round_trip(answer_ms);
  }
  disconnect();
}

const char *ei_error() { return error[0] != '\0' ? error : nullptr; }
const char *ei_about() { return about; }
const char *ei_cannot_type() { return keymap == nullptr ? "the EIS keyboard gave no keymap" : nullptr; }

bool ei_sync() {
  if (context == nullptr || lost) return false;
  uint64_t now = host_clock_ns();
  if (now < ready_at) host_sleep(static_cast<unsigned>((ready_at - now) / 1000000u) + 1);
  if (taken()) return true;
  if (lost || (host_stop_signal() != 0 && !host_ending())) return false;
  mark_lost("it did not answer for 10 s");
  return false;
}

}  // namespace

const backend ei_backend = {"ei", ei_open, ei_deliver, ei_close, ei_error, ei_about, ei_cannot_type, ei_sync};
