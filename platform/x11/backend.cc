// The X11 backend: posted events reach an X server through the XTEST extension, one at a time and
// flushed, so that each command's events are with the server before the next command is read.
// Xlib and XTEST are loaded only when a display is named: without one, hidpipe starts, runs and
// uses memory as if they were not there.
#include <X11/Xatom.h>
#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "backend.h"
#include "host.h"
#include "shared/evdev.h"
#include "shared/symbols.h"
#include "x11/xlib.h"

x_functions x_lib;
Display *x_display;

namespace {

bool loaded;               // whether load succeeded
const char *display_name;  // from DISPLAY
bool lost;                 // the connection broke; nothing more is sent
char error[320];           // why the server cannot be reached or was lost, or empty
char about[320];           // where events go, for --verbose
int64_t wheel_rest[2];     // scroll pixels not yet sent as a notch: vertical, horizontal
int sent_x = -1, sent_y;   // where hidpipe last put the pointer, or -1
Window sync_window;        // an unmapped window of ours, whose property notices answer S, or 0
Atom sync_atom;            // the property changed on it
int xtest_opcode;          // XTEST's major opcode on this server
int connection_fd = -1;    // the connection's socket, for the last words
bool held_codes[256];      // X key codes that K holds down
bool held_buttons[10];     // X buttons that B holds down

// How long the server has to answer a connection, and to read what is sent mid-session, before it
// counts as gone: Xlib itself waits without a bound.
constexpr unsigned answer_ms = 3000;
constexpr unsigned read_ms = 10000;

// Pixels of a pixel scroll per wheel notch: a web page's wheel event reports 120 per notch, so
// W x y 0 120 is one notch down.
constexpr int64_t pixels_per_notch = 120;

// The XTEST request carries 16-bit coordinates; clamping keeps a far position from wrapping
// around to a near one (the server then holds the pointer at the screen's edge).
int coordinate(double v) {
  if (v < -32768.0) return -32768;
  if (v > 32767.0) return 32767;
  return static_cast<int>(v);
}

// X button numbers by platform button: left 1, right 3, center 2, and back and forward (other
// buttons 3 and 4) 8 and 9, as X servers number a mouse's side buttons.
unsigned x_button(CGMouseButton b) {
  switch (static_cast<uint32_t>(b)) {
    case kCGMouseButtonLeft: return 1;
    case kCGMouseButtonRight: return 3;
    case 3: return 8;
    case 4: return 9;
    default: return 2;
  }
}

// Xlib waits for a reply without a bound: a server that does not answer within read_ms ends the
// session, with status 1 (or by the stop signal that came meanwhile).
}  // namespace

void x_guard_round_trip() {
  char why[400];
  snprintf(why, sizeof why, "the X server \"%s\" did not answer for %u s; ending with status 1", display_name,
           read_ms / 1000);
  host_guard(read_ms, why);
}

namespace {

// A move by the event's deltas. The request carries 16-bit offsets, so a longer move is sent in
// steps; past 64 steps an axis is cut, being longer than any screen. The server moves nothing
// for a move of none.
void move_by(const cg_record &r) {
  constexpr int64_t step = 32767, most = 64 * step;
  int64_t dx = std::clamp<int64_t>(r.delta[0], -most, most),
          dy = std::clamp<int64_t>(r.delta[1], -most, most);
  while (dx != 0 || dy != 0) {
    int64_t sx = std::clamp(dx, -step, step), sy = std::clamp(dy, -step, step);
    x_lib.fake_relative_motion(x_display, static_cast<int>(sx), static_cast<int>(sy), CurrentTime);
    dx -= sx;
    dy -= sy;
  }
  // Where the server put the pointer is no longer known here: a button asks it.
  sent_x = sent_y = -1;
}

void mouse(const cg_record &r) {
  if (r.relative && !is_button(r.type)) {
    move_by(r);
    return;
  }
  int x = coordinate(r.at.x), y = coordinate(r.at.y);
  if (!is_button(r.type)) {
    x_lib.fake_motion(x_display, -1, x, y, CurrentTime);
    sent_x = x;
    sent_y = y;
    return;
  }
  // Buttons act where the X pointer is; bring it to the event's place if something moved it. Once
  // the session is ending, the server may be stopped: no question is asked that waits for it, and
  // the place hidpipe last sent stands for the pointer's.
  Window root = 0, child = 0;
  int root_x = sent_x, root_y = sent_y, win_x = 0, win_y = 0;
  unsigned mask = 0;
  if (host_stop_signal() == 0 && !host_ending()) {
    x_guard_round_trip();
    if (x_lib.query_pointer(x_display, DefaultRootWindow(x_display), &root, &child, &root_x, &root_y, &win_x,
                            &win_y, &mask) == False)
      root_x = -1;
    host_unguard();
  }
  if (root_x != x || root_y != y) {
    x_lib.fake_motion(x_display, -1, x, y, CurrentTime);
    sent_x = x;
    sent_y = y;
  }
  unsigned button = x_button(r.button);
  held_buttons[button] = is_press(r.type);
  x_lib.fake_button(x_display, button, is_press(r.type) ? True : False, CurrentTime);
}

// Adds pixels to an axis's rest and clicks the wheel button once per whole notch in it.
void scroll_axis(int axis, int64_t pixels, unsigned positive_button, unsigned negative_button) {
  wheel_rest[axis] += pixels;
  int64_t notches = wheel_rest[axis] / pixels_per_notch;
  wheel_rest[axis] -= notches * pixels_per_notch;
  unsigned button = notches > 0 ? positive_button : negative_button;
  for (int64_t n = notches > 0 ? notches : -notches; n > 0; n--) {
    x_lib.fake_button(x_display, button, True, CurrentTime);
    x_lib.fake_button(x_display, button, False, CurrentTime);
  }
}

// Loads Xlib and XTEST; false, with error set, when either or any function needed is missing.
bool load() {
  void *xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  void *xtst = xlib == nullptr ? nullptr : dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
  if (xlib == nullptr || xtst == nullptr) {
    const char *why = dlerror();
    snprintf(error, sizeof error, "cannot load the X libraries (Debian: libx11-6, libxtst6): %s",
             why != nullptr ? why : "not found");
    return false;
  }
  find_symbol(xlib, "XSetIOErrorExitHandler", &x_lib.set_io_error_exit_handler);
  loaded = find_symbol(xlib, "XOpenDisplay", &x_lib.open_display) &&
           find_symbol(xlib, "XCloseDisplay", &x_lib.close_display) &&
           find_symbol(xlib, "XFlush", &x_lib.flush) &&
           find_symbol(xlib, "XQueryPointer", &x_lib.query_pointer) &&
           find_symbol(xlib, "XSetErrorHandler", &x_lib.set_error_handler) &&
           find_symbol(xlib, "XSetIOErrorHandler", &x_lib.set_io_error_handler) &&
           find_symbol(xtst, "XTestQueryExtension", &x_lib.query_extension) &&
           find_symbol(xtst, "XTestFakeKeyEvent", &x_lib.fake_key) &&
           find_symbol(xtst, "XTestFakeMotionEvent", &x_lib.fake_motion) &&
           find_symbol(xtst, "XTestFakeRelativeMotionEvent", &x_lib.fake_relative_motion) &&
           find_symbol(xtst, "XTestFakeButtonEvent", &x_lib.fake_button) &&
           find_symbol(xlib, "XDisplayKeycodes", &x_lib.display_keycodes) &&
           find_symbol(xlib, "XGetKeyboardMapping", &x_lib.get_keyboard_mapping) &&
           find_symbol(xlib, "XChangeKeyboardMapping", &x_lib.change_keyboard_mapping) &&
           find_symbol(xlib, "XFree", &x_lib.free) && find_symbol(xlib, "XSync", &x_lib.sync) &&
           find_symbol(xlib, "XCheckTypedEvent", &x_lib.check_typed_event) &&
           find_symbol(xlib, "XCheckTypedWindowEvent", &x_lib.check_typed_window_event) &&
           find_symbol(xlib, "XEventsQueued", &x_lib.events_queued) &&
           find_symbol(xlib, "XRefreshKeyboardMapping", &x_lib.refresh_keyboard_mapping) &&
           find_symbol(xlib, "XkbQueryExtension", &x_lib.xkb_query_extension) &&
           find_symbol(xlib, "XkbSelectEvents", &x_lib.xkb_select_events) &&
           find_symbol(xlib, "XkbGetMap", &x_lib.xkb_get_map) &&
           find_symbol(xlib, "XkbFreeKeyboard", &x_lib.xkb_free_keyboard) &&
           find_symbol(xlib, "XkbGetState", &x_lib.xkb_get_state) &&
           find_symbol(xlib, "XGetModifierMapping", &x_lib.get_modifier_mapping) &&
           find_symbol(xlib, "XFreeModifiermap", &x_lib.free_modifiermap) &&
           find_symbol(xlib, "XQueryExtension", &x_lib.query_named_extension) &&
           find_symbol(xlib, "XGrabServer", &x_lib.grab_server) &&
           find_symbol(xlib, "XUngrabServer", &x_lib.ungrab_server) &&
           find_symbol(xlib, "XInternAtom", &x_lib.intern_atom) &&
           find_symbol(xlib, "XCreateWindow", &x_lib.create_window) &&
           find_symbol(xlib, "XDestroyWindow", &x_lib.destroy_window) &&
           find_symbol(xlib, "XSelectInput", &x_lib.select_input) &&
           find_symbol(xlib, "XChangeProperty", &x_lib.change_property) &&
           find_symbol(xlib, "XGetWindowProperty", &x_lib.get_window_property) &&
           find_symbol(xlib, "XDeleteProperty", &x_lib.delete_property);
  if (!loaded) snprintf(error, sizeof error, "the X libraries lack a function hidpipe needs");
  return loaded;
}

// A socket to where name says the server listens, connecting without blocking: the local socket
// for ":N" and "unix:N" (Linux's abstract one first), TCP port 6000 + N for "host:N". -1 when name
// is not understood here or nothing listens.
int dial(const char *name) {
  const char *colon = strrchr(name, ':');
  if (colon == nullptr || colon[1] < '0' || colon[1] > '9') return -1;
  int number = atoi(colon + 1);
  std::string host(name, static_cast<size_t>(colon - name));
  if (host.find('/') != std::string::npos) return -1;  // a launcher's path (XQuartz): Xlib's to read
  if (host.empty() || host == "unix") {
    for (int abstract = 1; abstract >= 0; abstract--) {
      sockaddr_un a = {};
      a.sun_family = AF_UNIX;
      int n = snprintf(a.sun_path + abstract, sizeof a.sun_path - 1, "/tmp/.X11-unix/X%d", number);
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + static_cast<size_t>(abstract + n));
      if (fd >= 0 && (connect(fd, reinterpret_cast<sockaddr *>(&a), size) == 0 || errno == EAGAIN)) return fd;
      if (fd >= 0) close(fd);
    }
    return -1;
  }
  addrinfo hints = {}, *found = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  std::string port = std::to_string(6000 + number);
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

// Whether the server that name names answers within answer_ms: a connection, the setup asked for
// as Xlib asks for it, and any reply (a refusal included) counts. True where name is not understood
// here: Xlib decides then.
bool answers(const char *name) {
  int fd = dial(name);
  if (fd < 0) return true;
  // Byte order, protocol 11.0, no authorization: 12 bytes.
  static constexpr unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  bool ok = host_wait(fd, POLLOUT, answer_ms) == host_ready &&
            send(fd, setup, sizeof setup, MSG_NOSIGNAL) == 12 &&
            host_wait(fd, POLLIN, answer_ms) == host_ready;
  close(fd);
  return ok;
}

// XTEST's FakeInput request, as the protocol lays it out in the client's byte order.
struct fake_input {
  uint8_t major, minor;  // XTEST's opcode, 2
  uint16_t length;       // 9 four-byte units
  uint8_t type, detail;  // KeyRelease (3) or ButtonRelease (5); the key code or button
  uint16_t unused0;
  uint32_t time, root, unused1, unused2;
  int16_t x, y;
  uint32_t unused3;
  uint16_t unused4;
  uint8_t unused5, device;
};
static_assert(sizeof(fake_input) == 36, "FakeInput is 36 bytes");

// When a wait for the server ends the process: Xlib may be stuck mid-call, so the releases of what
// K and B hold go straight onto the connection, after what Xlib sent (it writes whole requests),
// for the server to process when it reads on. Within the ending's grace; async-signal-safe.
void release_raw() {
  if (connection_fd < 0 || xtest_opcode <= 0) return;
  constexpr int grace_ms = 2000;
  auto send_one = [](uint8_t type, unsigned detail) {
    fake_input r = {};
    r.major = static_cast<uint8_t>(xtest_opcode);
    r.minor = 2;
    r.length = 9;
    r.type = type;
    r.detail = static_cast<uint8_t>(detail);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&r);
    for (size_t done = 0; done < sizeof r;) {
      pollfd p{connection_fd, POLLOUT, 0};
      if (poll(&p, 1, grace_ms) <= 0) return false;
      ssize_t n = send(connection_fd, bytes + done, sizeof r - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  };
  for (unsigned code = 0; code < std::size(held_codes); code++)
    if (held_codes[code] && !send_one(3, code)) return;
  for (unsigned b = 0; b < std::size(held_buttons); b++)
    if (held_buttons[b] && !send_one(5, b)) return;
  // The server would drop the releases with the connection if a reply it owes found it closed:
  // stay until the replies owed have come and a while has passed without more.
  char sink[4096];
  for (int quiet_ms = grace_ms; quiet_ms > 0;) {
    pollfd p{connection_fd, POLLIN, 0};
    if (poll(&p, 1, quiet_ms) <= 0 || recv(connection_fd, sink, sizeof sink, 0) <= 0) break;
    quiet_ms = 100;
  }
}

int ignore_error(Display * /*d*/, XErrorEvent * /*e*/) { return 0; }
// Marks the connection lost: the command loop then ends the session with status 1.
void mark_lost() {
  lost = true;
  snprintf(error, sizeof error, "lost the connection to the X server \"%s\"", display_name);
}

// Xlib calls this first on a broken connection, then its exit handler, which by default exits;
// libX11 before 1.7 has no other and exits with status 1 itself.
int quiet_io_error(Display * /*d*/) {
  mark_lost();
  return 0;
}
void keep_running(Display * /*d*/, void * /*data*/) { mark_lost(); }

bool x11_open() {
  if (x_display != nullptr) return true;
  error[0] = '\0';
  display_name = getenv("DISPLAY");
  if (display_name == nullptr || *display_name == '\0') {
    snprintf(error, sizeof error, "DISPLAY is not set: no X server is named");
    return false;
  }
  if (!loaded && !load()) return false;
  // hidpipe writes nothing and must not die of an X error: errors are dropped, and a broken
  // connection ends the session through the command loop.
  x_lib.set_error_handler(ignore_error);
  x_lib.set_io_error_handler(quiet_io_error);
  if (!answers(display_name)) {
    snprintf(error, sizeof error, "the X server \"%s\" does not answer (waited %u s)", display_name,
             answer_ms / 1000);
    return false;
  }
  // The server answered a moment ago; should it stop now, the wait in Xlib still ends.
  char why[400];
  snprintf(why, sizeof why, "cannot start: the X server \"%s\" does not answer (waited %u s)", display_name,
           answer_ms / 1000);
  host_guard(answer_ms, why);
  x_display = x_lib.open_display(display_name);
  if (x_display == nullptr) {
    host_unguard();
    snprintf(error, sizeof error,
             "cannot open display \"%s\": no X server answers there, or it refused the connection",
             display_name);
    return false;
  }
  int event = 0, first_error = 0, major = 0, minor = 0;
  bool xtest = x_lib.query_extension(x_display, &event, &first_error, &major, &minor) == True &&
               x_lib.query_named_extension(x_display, "XTEST", &xtest_opcode, &event, &first_error) == True;
  host_unguard();
  if (!xtest) {
    x_lib.close_display(x_display);
    x_display = nullptr;
    snprintf(error, sizeof error, "the X server \"%s\" has no XTEST extension, which hidpipe posts through",
             display_name);
    return false;
  }
  if (x_lib.set_io_error_exit_handler != nullptr)
    x_lib.set_io_error_exit_handler(x_display, keep_running, nullptr);
  lost = false;
  wheel_rest[0] = wheel_rest[1] = 0;
  sent_x = -1;
  for (bool &h : held_codes) h = false;
  for (bool &h : held_buttons) h = false;
  connection_fd = ConnectionNumber(x_display);
  host_last_words(release_raw);
  snprintf(about, sizeof about, "events go to the X server \"%s\" through XTEST", display_name);
  return true;
}

// Sends what Xlib holds once the server can take it: Xlib would wait for that without a bound. A
// stop signal leaves it held for the releases that follow; a server that takes nothing for read_ms
// (or past the ending's grace) counts as gone.
bool send_buffered() {
  switch (host_wait(ConnectionNumber(x_display), POLLOUT, read_ms)) {
    case host_ready: x_lib.flush(x_display); return !lost;
    case host_stopped: return true;
    case host_timed_out: break;
  }
  lost = true;
  if (host_ending())
    snprintf(error, sizeof error, "the X server \"%s\" did not take the releases in time", display_name);
  else
    snprintf(error, sizeof error, "the X server \"%s\" read nothing for %u s", display_name, read_ms / 1000);
  return false;
}

bool x11_deliver(const cg_record &r) {
  if (x_display == nullptr) return true;
  if (lost) return false;
  switch (r.kind) {
    case cg_keyboard:
      // Text is typed on the key-down that carries it; its key-up has nothing left to do.
      if (r.text_length > 0) {
        if (r.down) x_type(r);
      } else if (unsigned code = evdev_of(r.keycode); code != 0) {
        if (code + 8u < std::size(held_codes)) held_codes[code + 8u] = r.down;
        x_lib.fake_key(x_display, code + 8u, r.down ? True : False, CurrentTime);
      }
      break;
    case cg_mouse: mouse(r); break;
    case cg_scroll:
      // Quartz's positive wheel values scroll up and left: X buttons 4 and 6.
      scroll_axis(0, r.wheel[0], 4, 5);
      if (r.wheels >= 2) scroll_axis(1, r.wheel[1], 6, 7);
      break;
  }
  return !lost && send_buffered();
}

void x11_close() {
  if (x_display != nullptr) {
    x_release_spares(!lost);
    if (!lost) x_lib.close_display(x_display);
  }
  x_display = nullptr;
  sync_window = 0;  // gone with the connection
  host_last_words(nullptr);
  connection_fd = -1;
}

const char *x11_error() { return error[0] != '\0' ? error : nullptr; }
const char *x11_about() { return about; }
const char *x11_cannot_type() { return nullptr; }

// A round trip: once the server answers, it has handled every request before, and sent the
// events to the clients that receive them. The answer is the notice of a change of nothing to a
// window of ours, which is waited for as any reading is: on its own bound, and not past a stop
// signal (XSync would wait inside Xlib, for as long as the server takes).
bool x11_sync() {
  if (x_display == nullptr) return true;
  if (lost) return false;
  XEvent e;
  if (sync_window == 0) {
    x_guard_round_trip();
    sync_atom = x_lib.intern_atom(x_display, "_HIDPIPE_SYNC", False);
    host_unguard();
    XSetWindowAttributes attributes = {};
    sync_window = x_lib.create_window(x_display, DefaultRootWindow(x_display), -1, -1, 1, 1, 0, 0, InputOnly,
                                      CopyFromParent, 0, &attributes);
    x_lib.select_input(x_display, sync_window, PropertyChangeMask);
  }
  // Notices of earlier round trips that a stop cut short answer nothing now.
  while (x_lib.check_typed_window_event(x_display, sync_window, PropertyNotify, &e) == True) {
  }
  x_lib.change_property(x_display, sync_window, sync_atom, XA_CARDINAL, 32, PropModeAppend, nullptr, 0);
  if (!send_buffered()) return false;
  uint64_t until = host_clock_ns() + uint64_t{read_ms} * 1000000u;
  for (;;) {
    x_lib.events_queued(x_display, QueuedAfterReading);
    if (lost) return false;
    if (x_lib.check_typed_window_event(x_display, sync_window, PropertyNotify, &e) == True) return true;
    uint64_t now = host_clock_ns();
    auto left = static_cast<unsigned>(now < until ? (until - now + 999999) / 1000000 : 0);
    switch (host_wait(ConnectionNumber(x_display), POLLIN, left)) {
      case host_ready: continue;
      case host_stopped: return false;  // the releases follow, without a reply
      case host_timed_out: break;
    }
    lost = true;
    snprintf(error, sizeof error, "the X server \"%s\" did not answer for %u s", display_name,
             read_ms / 1000);
    return false;
  }
}

}  // namespace

const backend x11_backend = {"x11",     x11_open,  x11_deliver,     x11_close,
                             x11_error, x11_about, x11_cannot_type, x11_sync};

bool x11_answers(const char *name, unsigned *ms) {
  *ms = answer_ms;
  return answers(name);
}

bool x11_root_size(int *width, int *height) {
  const char *name = getenv("DISPLAY");
  if (name == nullptr || *name == '\0' || (!loaded && !load())) return false;
  if (x_display == nullptr && !answers(name)) return false;
  host_guard(answer_ms, "cannot start: the X server for the desktop's size does not answer");
  Display *d = x_display != nullptr ? x_display : x_lib.open_display(name);
  if (d != nullptr) {
    *width = DisplayWidth(d, DefaultScreen(d));
    *height = DisplayHeight(d, DefaultScreen(d));
    if (d != x_display) x_lib.close_display(d);
  }
  host_unguard();
  return d != nullptr;
}
