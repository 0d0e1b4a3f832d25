// The GNOME backend: mutter's remote-desktop interface on the session bus (org.gnome.Mutter
// .RemoteDesktop, with a screen cast of each monitor for absolute positions), which any program of
// the user's session may use. Keys go by evdev code and mutter applies the user's layout and
// derives the modifiers; text goes by keysym, which mutter types with the layout's own levels.
// The interface is private to GNOME, without a promise of compatibility between versions.
// libsystemd (sd-bus), libwayland-client and libxkbcommon are loaded only when it is chosen.
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "backend.h"
#include "environment.h"
#include "host.h"
#include "shared/bus.h"
#include "shared/evdev.h"
#include "shared/idle.h"
#include "shared/layout.h"
#include "shared/nearest.h"
#include "shared/wayland_client.h"

namespace {

bool loaded;              // whether the libraries are loaded
sd_bus *bus;              // the session bus, while connected
char session[128];        // the remote-desktop session's path
char session_id[64];      // its id, which a screen cast names to belong to it
char cast[128];           // the screen-cast session's path
bool started;             // the remote-desktop session was started
int in_flight;            // calls sent whose replies have not come
bool lost;                // mutter went away or closed the session
bool monitors_moved;      // the monitors changed since they were read
bool moved_in_session;    // they changed, and were read again, in the session open now
bool closed;              // mutter closed the session: when the monitors changed, a new one follows
bool held_keys[256];      // evdev keys held through the session
bool held_buttons[5];     // buttons held, by platform button
char error[400];          // why the backend cannot start, or was lost
char about[700];          // where events go, for --verbose
int64_t wheel_rest[2];    // scroll pixels not yet sent as a notch: vertical, horizontal
int sent_x = -1, sent_y;  // the desktop position last sent, or -1
uint64_t ready_at;        // when the session may send its first event, in host_clock_ns; 0 once past
idle_watch idle;          // the events sent that mutter has not been seen to give the windows

// How long mutter has to answer at start, and to take calls mid-session, before it counts as gone.
constexpr unsigned answer_ms = 3000;
constexpr unsigned read_ms = 10000;

// Calls in flight at most: mutter answers a call when it has queued its event, and merges motion
// that queues up. Measured with 10,000 moves into a window, 5 runs a time: with the machine idle,
// 16 outstanding lost some (9,415 of 10,000 in one run) and 12 none; under the benchmark's load
// (sender, window and counter on two cores) 8 lost some (9,925) and 4 none in 15 runs. Half that.
constexpr int most_in_flight = 2;

// A new session's screen casts begin as it starts, and mutter, busy with them, merges the input
// that queues up meanwhile (motions lost, others placed between two). Measured with a window on
// each monitor and both cores busy, 6 runs each: with no pause 4 of 5 runs had lost or misplaced
// moves, after 50 ms 1 of 6, after 100 ms none. The first event waits this long after the start.
constexpr uint64_t settle_ms = 250;

constexpr int64_t pixels_per_notch = 120;

// Linux buttons by platform button: left, right, center, back, forward.
constexpr uint32_t buttons[] = {0x110, 0x111, 0x112, 0x113, 0x114};

constexpr char mutter[] = "org.gnome.Mutter.RemoteDesktop";
constexpr char remote[] = "org.gnome.Mutter.RemoteDesktop.Session";

// An event's call, as hidpipe keeps it until mutter answers: when the monitors change, mutter
// closes the session, and a call that reached the closed session is sent again in the next one.
enum event_kind : char { key_code, key_sym, button, motion, relative_motion, axis };
struct event_call {
  event_kind kind;
  uint32_t code;  // the evdev key or button, the keysym, or the axis
  int32_t value;  // pressed (1) or released (0); the notches of an axis
  double x, y;    // a motion's desktop position, or a relative one's deltas
};

// The event calls sent whose answers have not come, oldest first (they come in order).
event_call unanswered[most_in_flight];
int unanswered_first, unanswered_count;
// Those a closed session refused or that came after it closed, in order, until the next session.
event_call redo[1024];
int redo_count;

// One monitor of the desktop: its screen-cast stream and its place in the compositor's space.
struct monitor {
  char connector[64];
  char stream[128];  // the stream's object path, which absolute motion names
  int x, y, width, height;
  bool streaming;  // its PipeWire stream exists: mutter places absolute motion by it only then
};
monitor monitors[8];
int monitor_count;
int left, top, right, bottom;  // the desktop: the union of the monitors' rectangles

// The keymap, from mutter's Wayland display, to know which characters the layout has.
wl_display *display;
wl_registry *registry;
wl_seat *seat;
wl_keyboard *keyboard;
xkb_context *context;
xkb_keymap *keymap;
uint32_t group;  // the current layout of the keymap, as the modifiers event says

bool load() {
  const char *why = nullptr;
  loaded = sd_load(&why) && wl_load(&why);
  if (!loaded) snprintf(error, sizeof error, "%s", why);
  return loaded;
}

void mark_lost(const char *why) {
  if (lost) return;
  lost = true;
  snprintf(error, sizeof error, "lost GNOME's compositor: %.300s", why);
}

// Reads what the bus has for us and runs its callbacks; false once the connection broke.
bool pump() {
  for (;;) {
    int r = sd.process(bus, nullptr);
    if (r < 0) {
      mark_lost("the session bus closed the connection");
      return false;
    }
    if (r == 0) return true;
  }
}

bool wait_bus(unsigned ms) { return bus_wait(bus, ms); }

// A call's reply, for the calls waited for.
struct reply {
  sd_bus_message *message;  // the reply, taken; null until it comes
  bool done;
};

int on_reply(sd_bus_message *m, void *data, sd_bus_error * /*e*/) {
  in_flight--;
  auto *r = static_cast<reply *>(data);
  if (r != nullptr) {
    r->message = sd.message_ref(m);
    r->done = true;
  } else if (sd.is_method_error(m, nullptr) != 0) {
    const sd_bus_error *e = sd.get_error(m);
    char why[300];
    snprintf(why, sizeof why, "%s", e != nullptr && e->message != nullptr ? e->message : "a call failed");
    mark_lost(why);
  }
  return 0;
}

// Sends a call, its reply to come to into (or, with into null, only counted).
bool send_call(const char *destination, const char *path, const char *interface, const char *member,
               reply *into, const char *types, va_list ap) {
  sd_bus_message *m = nullptr;
  if (sd.new_method_call(bus, &m, destination, path, interface, member) < 0) return false;
  bool ok = (types == nullptr || sd.appendv(m, types, ap) >= 0) &&
            sd.call_async(bus, nullptr, m, on_reply, into, uint64_t{read_ms} * 1000) >= 0;
  sd.message_unref(m);
  if (ok) in_flight++;
  return ok;
}

// Calls and waits for the reply, at most ms: the reply (for the caller to unref), or null with
// error set to why.
sd_bus_message *call(unsigned ms, const char *destination, const char *path, const char *interface,
                     const char *member, const char *types, ...) {
  reply r = {nullptr, false};
  va_list ap;
  va_start(ap, types);
  bool sent = send_call(destination, path, interface, member, &r, types, ap);
  va_end(ap);
  if (!sent) {
    snprintf(error, sizeof error, "cannot call %s.%s on the session bus", interface, member);
    return nullptr;
  }
  while (!r.done && pump() && !r.done && wait_bus(ms)) {
  }
  if (!r.done) {
    snprintf(error, sizeof error, "GNOME's compositor did not answer %s (waited %u s)", member, ms / 1000);
    return nullptr;
  }
  if (sd.is_method_error(r.message, nullptr) != 0) {
    const sd_bus_error *e = sd.get_error(r.message);
    snprintf(error, sizeof error, "%s: %s", member,
             e != nullptr && e->message != nullptr ? e->message : "failed");
    sd.message_unref(r.message);
    return nullptr;
  }
  return r.message;
}

// Keeps a call for the next session.
void keep_for_next(const event_call &c) {
  if (redo_count < static_cast<int>(std::size(redo)))
    redo[redo_count++] = c;
  else
    mark_lost("the monitors changed while more events than hidpipe keeps were on their way");
}

int on_event_reply(sd_bus_message *m, void * /*data*/, sd_bus_error * /*e*/) {
  in_flight--;
  if (unanswered_count == 0) return 0;
  event_call c = unanswered[unanswered_first];
  unanswered_first = (unanswered_first + 1) % static_cast<int>(std::size(unanswered));
  unanswered_count--;
  if (sd.is_method_error(m, nullptr) == 0) return 0;
  // mutter says Closed before it refuses the calls that came after: those go to the next session.
  // It says MonitorsChanged before it refuses those to a stream it ended for them: those go again
  // once the streams are read anew.
  if (closed || monitors_moved) {
    keep_for_next(c);
    return 0;
  }
  const sd_bus_error *e = sd.get_error(m);
  char why[300];
  snprintf(why, sizeof why, "%s", e != nullptr && e->message != nullptr ? e->message : "a call failed");
  mark_lost(why);
  return 0;
}

const monitor &place(double px, double py, int *x, int *y);

// Waits for the answers to every event call sent: once the session is known closed, so that those
// it refused go to the next session ahead of what came later. False once mutter is lost.
bool drain_unanswered() {
  while (unanswered_count > 0 && !lost && pump() && unanswered_count > 0)
    if (!wait_bus(read_ms)) {
      if (host_stop_signal() == 0 || host_ending()) mark_lost("it answered no call for a while");
      return false;
    }
  return !lost;
}

// Sends an event's call, keeping at most most_in_flight unanswered: never one dropped. Once the
// session is known closed, the call waits for the next session instead.
void notify(const event_call &c) {
  while (in_flight >= most_in_flight && !lost) {
    if (!pump() || in_flight < most_in_flight) break;
    if (!wait_bus(read_ms)) {
      if (host_stop_signal() == 0 || host_ending()) mark_lost("it took no calls for a while");
      return;
    }
  }
  if (lost || (closed && !drain_unanswered())) return;
  if (closed) {
    keep_for_next(c);
    return;
  }
  sd_bus_message *m = nullptr;
  const char *member = nullptr;
  int appended = -1;
  switch (c.kind) {
    case key_code: member = "NotifyKeyboardKeycode"; break;
    case key_sym: member = "NotifyKeyboardKeysym"; break;
    case button: member = "NotifyPointerButton"; break;
    case motion: member = "NotifyPointerMotionAbsolute"; break;
    case relative_motion: member = "NotifyPointerMotionRelative"; break;
    case axis: member = "NotifyPointerAxisDiscrete"; break;
  }
  if (sd.new_method_call(bus, &m, mutter, session, remote, member) < 0) return;
  switch (c.kind) {
    case key_code:
    case key_sym: appended = sd.append(m, "ub", c.code, c.value); break;
    case button: appended = sd.append(m, "ib", static_cast<int32_t>(c.code), c.value); break;
    case motion: {
      // On the monitor that holds the point, in its own coordinates: this session's streams.
      int x = 0, y = 0;
      const monitor &on = place(c.x, c.y, &x, &y);
      sent_x = x;
      sent_y = y;
      appended = sd.append(m, "sdd", on.stream, static_cast<double>(x - on.x), static_cast<double>(y - on.y));
      break;
    }
    case relative_motion: appended = sd.append(m, "dd", c.x, c.y); break;
    case axis: appended = sd.append(m, "ui", c.code, c.value); break;
  }
  bool ok =
      appended >= 0 && sd.call_async(bus, nullptr, m, on_event_reply, nullptr, uint64_t{read_ms} * 1000) >= 0;
  sd.message_unref(m);
  if (!ok) return;
  in_flight++;
  unanswered[(unanswered_first + unanswered_count) % static_cast<int>(std::size(unanswered))] = c;
  unanswered_count++;
  idle_sent(&idle);
}

int on_closed(sd_bus_message * /*m*/, void * /*data*/, sd_bus_error * /*e*/) {
  closed = true;
  return 0;
}

int on_owner(sd_bus_message *m, void * /*data*/, sd_bus_error * /*e*/) {
  const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
  if (sd.read(m, "sss", &name, &old_owner, &new_owner) >= 0 && new_owner != nullptr && *new_owner == '\0')
    mark_lost("it left the session bus");
  return 0;
}

int on_stream(sd_bus_message * /*m*/, void *data, sd_bus_error * /*e*/) {
  static_cast<monitor *>(data)->streaming = true;
  return 0;
}

int on_monitors(sd_bus_message * /*m*/, void * /*data*/, sd_bus_error * /*e*/) {
  monitors_moved = true;
  return 0;
}

void watch(const char *rule, sd_bus_message_handler_t handler, void *data = nullptr) {
  sd.add_match_async(bus, nullptr, rule, handler, nullptr, data);
}

// Reads the stream's place: its Parameters' position and size.
bool read_place(monitor &mon) {
  sd_bus_message *m = call(answer_ms, mutter, mon.stream, "org.freedesktop.DBus.Properties", "Get", "ss",
                           "org.gnome.Mutter.ScreenCast.Stream", "Parameters");
  if (m == nullptr) return false;
  bool position = false, size = false;
  if (sd.enter(m, 'v', "a{sv}") > 0 && sd.enter(m, 'a', "{sv}") > 0) {
    while (sd.enter(m, 'e', "sv") > 0) {
      const char *key = nullptr;
      sd.read(m, "s", &key);
      if (key != nullptr && strcmp(key, "position") == 0)
        position = sd.read(m, "v", "(ii)", &mon.x, &mon.y) >= 0;
      else if (key != nullptr && strcmp(key, "size") == 0)
        size = sd.read(m, "v", "(ii)", &mon.width, &mon.height) >= 0;
      else
        sd.skip(m, "v");
      sd.exit(m);
    }
  }
  sd.message_unref(m);
  return position && size && mon.width > 0 && mon.height > 0;
}

// The connectors of the monitors in use: those of the logical monitors.
int read_connectors(char (&connectors)[8][64]) {
  sd_bus_message *m = call(answer_ms, "org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                           "org.gnome.Mutter.DisplayConfig", "GetCurrentState", nullptr);
  if (m == nullptr) return -1;
  int n = 0;
  uint32_t serial = 0;
  if (sd.read(m, "u", &serial) >= 0 && sd.skip(m, "a((ssss)a(siiddada{sv})a{sv})") >= 0 &&
      sd.enter(m, 'a', "(iiduba(ssss)a{sv})") > 0) {
    while (sd.enter(m, 'r', "iiduba(ssss)a{sv}") > 0) {
      int32_t x = 0, y = 0;
      double scale = 1;
      uint32_t transform = 0;
      int primary = 0;
      sd.read(m, "iidub", &x, &y, &scale, &transform, &primary);
      if (sd.enter(m, 'a', "(ssss)") > 0) {
        const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *number = nullptr;
        while (sd.read(m, "(ssss)", &connector, &vendor, &product, &number) > 0)
          if (n < 8) snprintf(connectors[n++], sizeof connectors[0], "%s", connector);
        sd.exit(m);
      }
      sd.skip(m, "a{sv}");
      sd.exit(m);
    }
  }
  sd.message_unref(m);
  return n;
}

void measure_desktop() {
  for (int i = 0; i < monitor_count; i++) {
    const monitor &m = monitors[i];
    if (i == 0 || m.x < left) left = m.x;
    if (i == 0 || m.y < top) top = m.y;
    if (i == 0 || m.x + m.width > right) right = m.x + m.width;
    if (i == 0 || m.y + m.height > bottom) bottom = m.y + m.height;
  }
}

// The keymap's events.
void on_keymap(void * /*data*/, wl_keyboard * /*k*/, uint32_t format, int32_t fd, uint32_t size) {
  void *text = format == 1 && size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  close(fd);
  if (text == MAP_FAILED) return;
  xkb_keymap *k = xkb.keymap_new_from_string(context, static_cast<const char *>(text),
                                             XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  munmap(text, size);
  if (k == nullptr) return;
  if (keymap != nullptr) xkb.keymap_unref(keymap);
  keymap = k;
  group = 0;
}
void on_enter(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*s*/, void * /*surface*/, wl_array * /*keys*/) {}
void on_leave(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*s*/, void * /*surface*/) {}
void on_key(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*s*/, uint32_t /*t*/, uint32_t /*key*/,
            uint32_t /*st*/) {}
void on_modifiers(void * /*d*/, wl_keyboard * /*k*/, uint32_t /*s*/, uint32_t /*depressed*/,
                  uint32_t /*latched*/, uint32_t /*locked*/, uint32_t layout) {
  group = layout;
}
const wl_keyboard_listener keyboard_listener = {on_keymap, on_enter, on_leave, on_key, on_modifiers};

void on_capabilities(void * /*d*/, wl_seat *s, uint32_t caps) {
  if ((caps & 2) == 0 || keyboard != nullptr) return;
  keyboard = wl_seat_get_keyboard(s);
  wl_keyboard_add_listener(keyboard, &keyboard_listener, nullptr);
}
const wl_seat_listener seat_listener = {on_capabilities};

void on_global(void * /*d*/, wl_registry *r, uint32_t name, const char *interface, uint32_t /*version*/) {
  if (strcmp(interface, "wl_seat") != 0 || seat != nullptr) return;
  seat = static_cast<wl_seat *>(wl_registry_bind(r, name, &wl_seat_interface, 1));
  wl_seat_add_listener(seat, &seat_listener, nullptr);
}
void on_global_remove(void * /*d*/, wl_registry * /*r*/, uint32_t /*name*/) {}
const wl_registry_listener registry_listener = {on_global, on_global_remove};

// Reads what mutter's Wayland display sent meanwhile, without waiting: a new keymap or layout.
void follow_keymap() {
  if (display != nullptr) wl_take_pending(display);
}

// Connects to mutter's Wayland display for the seat's keymap; without one (no WAYLAND_DISPLAY),
// text is sent unchecked.
void watch_keymap() {
  context = xkb_quiet_context();
  display = env_set("WAYLAND_DISPLAY") ? wl.display_connect(nullptr) : nullptr;
  if (display == nullptr) return;
  auto *d = reinterpret_cast<wl_proxy *>(display);
  registry = reinterpret_cast<wl_registry *>(
      wl.proxy_marshal_flags(d, 1, &wl_registry_interface, wl.proxy_get_version(d), 0, nullptr));
  wl_registry_add_listener(registry, &registry_listener, nullptr);
  // The seat, its keyboard, its keymap: a round trip each.
  for (int i = 0; i < 3 && wl_roundtrip_on(display, answer_ms); i++) {
  }
}

}  // namespace

namespace {

void forget_keymap() {
  if (keyboard != nullptr) wl_keyboard_destroy(keyboard);
  if (seat != nullptr) wl.proxy_destroy(reinterpret_cast<wl_proxy *>(seat));
  if (registry != nullptr) wl.proxy_destroy(reinterpret_cast<wl_proxy *>(registry));
  if (display != nullptr) wl.display_disconnect(display);
  if (keymap != nullptr) xkb.keymap_unref(keymap);
  if (context != nullptr) xkb.context_unref(context);
  keyboard = nullptr;
  seat = nullptr;
  registry = nullptr;
  display = nullptr;
  keymap = nullptr;
  context = nullptr;
}

void disconnect() {
  forget_keymap();
  // Whatever was to be sent has been answered, or never will be: nothing is waited for here.
  if (bus != nullptr) {
    sd.close(bus);
    sd.unref(bus);
  }
  bus = nullptr;
  session[0] = cast[0] = '\0';
  started = closed = false;
  for (bool &k : held_keys) k = false;
  for (bool &b : held_buttons) b = false;
  in_flight = 0;
  unanswered_first = unanswered_count = redo_count = 0;
  monitor_count = 0;
}

// A path out of a reply of one object path, into out.
bool read_path(sd_bus_message *m, char (&out)[128]) {
  const char *path = nullptr;
  bool ok = m != nullptr && sd.read(m, "o", &path) >= 0 && path != nullptr;
  if (ok) snprintf(out, sizeof out, "%s", path);
  if (m != nullptr) sd.message_unref(m);
  return ok;
}

// Screen casts of the monitors in use, each with its place, for absolute motion.
// A stream of the monitor's in the screen cast, watched for its PipeWire stream.
bool record_monitor(monitor &mon) {
  if (!read_path(call(answer_ms, mutter, cast, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                      "sa{sv}", mon.connector, 0),
                 mon.stream))
    return false;
  mon.streaming = false;
  char rule[256];
  snprintf(
      rule, sizeof rule,
      "type='signal',path='%s',interface='org.gnome.Mutter.ScreenCast.Stream',member='PipeWireStreamAdded'",
      mon.stream);
  watch(rule, on_stream, &mon);
  return true;
}

bool record_monitors() {
  char connectors[8][64];
  int n = read_connectors(connectors);
  if (n <= 0) {
    if (n == 0) snprintf(error, sizeof error, "GNOME's compositor shows no monitor to put the pointer on");
    return false;
  }
  monitor_count = 0;
  for (int i = 0; i < n; i++) {
    monitor &mon = monitors[monitor_count];
    snprintf(mon.connector, sizeof mon.connector, "%.63s", connectors[i]);
    if (!record_monitor(mon)) return false;
    monitor_count++;
  }
  return true;
}

// A screen-cast session of the remote-desktop session's, for its streams.
bool new_cast() {
  return read_path(call(answer_ms, "org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast",
                        "org.gnome.Mutter.ScreenCast", "CreateSession", "a{sv}", 1,
                        "remote-desktop-session-id", "s", session_id),
                   cast);
}

// Waits until every monitor's stream exists: a move placed before would miss its monitor.
bool await_streams() {
  for (bool all = false; !all;) {
    if (!pump()) return false;
    all = true;
    for (int i = 0; i < monitor_count; i++) all = all && monitors[i].streaming;
    // PipeWire takes its time with new streams on a busy machine (3 s did not always do).
    if (!all && !wait_bus(read_ms)) {
      snprintf(error, sizeof error, "GNOME's compositor did not start its screen casts (waited %u s)",
               read_ms / 1000);
      return false;
    }
  }
  return true;
}

// A remote-desktop session with a screen cast of each monitor in use, started, its streams ready and
// their places read.
bool open_session() {
  const char *id = nullptr;
  closed = moved_in_session = false;
  bool ok = read_path(call(answer_ms, mutter, "/org/gnome/Mutter/RemoteDesktop",
                           "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr),
                      session);
  sd_bus_message *props = ok ? call(answer_ms, mutter, session, "org.freedesktop.DBus.Properties", "Get",
                                    "ss", remote, "SessionId")
                             : nullptr;
  ok = props != nullptr && sd.read(props, "v", "s", &id) >= 0 && id != nullptr;
  if (ok) snprintf(session_id, sizeof session_id, "%s", id);
  if (props != nullptr) sd.message_unref(props);
  char rule[256];
  snprintf(rule, sizeof rule, "type='signal',path='%s',interface='%s',member='Closed'", session, remote);
  if (ok) watch(rule, on_closed);
  ok = ok && new_cast() && record_monitors();
  sd_bus_message *start = ok ? call(answer_ms, mutter, session, remote, "Start", nullptr) : nullptr;
  ok = start != nullptr;
  if (start != nullptr) sd.message_unref(start);
  started = ok;
  ok = ok && await_streams();
  for (int i = 0; ok && i < monitor_count; i++) ok = read_place(monitors[i]);
  if (ok) measure_desktop();
  return ok;
}

void move_to(const cg_record &r);

// Sends again, in order, what mutter refused across a change of monitors; a move to where the
// pointer now is is left out.
void send_again() {
  int count = redo_count;
  redo_count = 0;
  for (int i = 0; i < count && !lost && !closed; i++) {
    const event_call &c = redo[i];
    int x = 0, y = 0;
    if (c.kind == motion && (place(c.x, c.y, &x, &y), x == sent_x && y == sent_y)) continue;
    notify(c);
  }
}

// After the monitors changed: mutter ends a session whose monitors change, releasing what it held,
// so a new one is made, with screen casts of the monitors as they are now, and what hidpipe still
// holds is pressed again in it, so that the desktop and hidpipe agree.
bool follow_monitors() {
  if (!drain_unanswered() || !open_session()) return false;
  host_sleep(settle_ms);
  for (unsigned code = 0; code < std::size(held_keys); code++)
    if (held_keys[code]) notify({key_code, code, 1, 0, 0});
  bool any = false;
  for (bool b : held_buttons) any = any || b;
  if (any && sent_x >= 0) {
    cg_record at = {};
    at.at = {static_cast<double>(sent_x), static_cast<double>(sent_y)};
    move_to(at);
  }
  for (size_t b = 0; b < std::size(buttons); b++)
    if (held_buttons[b]) notify({button, buttons[b], 1, 0, 0});
  // Then what the closed session did not take, in order. Presses of what is held again are
  // repeats, which mutter's virtual devices pass over.
  send_again();
  return true;
}

// After the monitors changed in a session mutter kept open (mutter 48 does; 43 ends it): where the
// streams outlived the change, their places are read anew and what mutter refused meanwhile is sent
// again. mutter 48 ends the stream of a monitor that moved, though, and gives a stream recorded now
// no PipeWire stream: then, or when the monitors in use are others, the session is stopped and a new
// one follows, as when mutter ends it.
bool replace_monitors() {
  if (!drain_unanswered()) return false;
  char connectors[8][64];
  int n = read_connectors(connectors);
  bool same = n == monitor_count;
  for (int i = 0; same && i < n; i++) same = strcmp(connectors[i], monitors[i].connector) == 0;
  for (int i = 0; same && i < monitor_count; i++) same = read_place(monitors[i]);
  monitors_moved = false;
  if (same) {
    measure_desktop();
    moved_in_session = true;
    send_again();
    return true;
  }
  if (lost) return false;
  closed = true;  // what mutter refuses from now on goes to the next session
  sd_bus_message *m = call(answer_ms, mutter, session, remote, "Stop", nullptr);
  if (m != nullptr) sd.message_unref(m);
  return follow_monitors();
}

bool gnome_open() {
  error[0] = '\0';
  lost = monitors_moved = false;
  if (!loaded && !load()) return false;
  if (sd.open_user(&bus) < 0) {
    bus = nullptr;
    snprintf(error, sizeof error, "cannot connect to the session bus (DBUS_SESSION_BUS_ADDRESS)");
    return false;
  }
  sd_bus_message *m = call(answer_ms, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", "s", mutter);
  int has = 0;
  if (m != nullptr) {
    sd.read(m, "b", &has);
    sd.message_unref(m);
  }
  if (has == 0) {
    if (m != nullptr)
      snprintf(error, sizeof error, "no GNOME compositor on the session bus (%s is not there)", mutter);
    disconnect();
    return false;
  }
  watch(
      "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.gnome.Mutter."
      "RemoteDesktop'",
      on_owner);
  watch("type='signal',interface='org.gnome.Mutter.DisplayConfig',member='MonitorsChanged'", on_monitors);
  if (!open_session()) {
    if (error[0] == '\0')
      snprintf(error, sizeof error, "GNOME's compositor refused a remote-desktop session");
    disconnect();
    return false;
  }
  measure_desktop();
  watch_keymap();
  size_t n =
      static_cast<size_t>(snprintf(about, sizeof about,
                                   "events go to GNOME's compositor through its remote-desktop interface "
                                   "(%dx%d pixels at %d,%d; monitors",
                                   right - left, bottom - top, left, top));
  for (int i = 0; i < monitor_count && n < sizeof about; i++)
    n +=
        static_cast<size_t>(snprintf(about + n, sizeof about - n, " %s %dx%d at %d,%d", monitors[i].connector,
                                     monitors[i].width, monitors[i].height, monitors[i].x, monitors[i].y));
  const char *name = keymap != nullptr ? xkb.keymap_layout_get_name(keymap, 0) : nullptr;
  if (n < sizeof about)
    snprintf(about + n, sizeof about - n, "; keymap: %s)",
             name != nullptr     ? name
             : keymap != nullptr ? "the seat's"
                                 : "unknown, text is sent unchecked");
  sent_x = -1;
  wheel_rest[0] = wheel_rest[1] = 0;
  idle = {};
  ready_at = host_clock_ns() + settle_ms * 1000000u;
  return true;
}

// The monitor a desktop position is on, and the position moved onto the desktop first when it is
// off every monitor: held to the union's box, then to the nearest monitor in it.
const monitor &place(double px, double py, int *x, int *y) {
  return monitors[nearest_pixel(monitors, monitor_count, left, top, right, bottom, px, py, x, y)];
}

void move_to(const cg_record &r) { notify({motion, 0, 0, r.at.x, r.at.y}); }

void mouse(const cg_record &r) {
  if (r.relative && !is_button(r.type)) {
    notify({relative_motion, 0, 0, static_cast<double>(r.delta[0]), static_cast<double>(r.delta[1])});
    // Where mutter then puts the pointer is its own affair: a button moves to its place first.
    sent_x = sent_y = -1;
    return;
  }
  if (!is_button(r.type)) {
    move_to(r);
    return;
  }
  // A button acts where the pointer is: put it at the event's place first if it is not there.
  int x = 0, y = 0;
  place(r.at.x, r.at.y, &x, &y);
  if (x != sent_x || y != sent_y) move_to(r);
  size_t index = r.button < std::size(buttons) ? static_cast<size_t>(r.button) : 0;
  held_buttons[index] = is_press(r.type);
  notify({button, buttons[index], is_press(r.type) ? 1 : 0, 0, 0});
}

// Whole notches of the pixels gathered on an axis (positive down or right): mutter makes each a
// detent of 10 units to applications, as a wheel's; the rest waits for more, as on X11.
void scroll_axis(int axis_index, int64_t pixels) {
  wheel_rest[axis_index] += pixels;
  int64_t notches = wheel_rest[axis_index] / pixels_per_notch;
  wheel_rest[axis_index] -= notches * pixels_per_notch;
  if (notches != 0) notify({axis, static_cast<uint32_t>(axis_index), static_cast<int32_t>(notches), 0, 0});
}

// The level at which mutter types a keysym: that of the first key, in key-code order, with it on
// group, or -1. Mutter presses the level's modifiers for the second and third levels alone.
int mutter_level(xkb_keysym_t ks) {
  for (xkb_keycode_t key = xkb.keymap_min_keycode(keymap); key <= xkb.keymap_max_keycode(keymap); key++) {
    xkb_layout_index_t layouts = xkb.keymap_num_layouts_for_key(keymap, key);
    if (layouts == 0) continue;
    xkb_layout_index_t l = group < layouts ? group : 0;
    for (xkb_level_index_t level = 0; level < xkb.keymap_num_levels_for_key(keymap, key, l); level++) {
      const xkb_keysym_t *syms = nullptr;
      int n = xkb.keymap_key_get_syms_by_level(keymap, key, l, level, &syms);
      for (int i = 0; i < n; i++)
        if (syms[i] == ks) return static_cast<int>(level);
    }
  }
  return -1;
}

void press_key_code(unsigned code, bool down) { notify({key_code, code, down ? 1 : 0, 0, 0}); }

// Types each character by its keysym, which mutter presses with the layout's level (Shift, the
// level 3 key). One that mutter would type at a higher level, which it presses without the level's
// modifiers, is typed by its key and modifiers instead, as on uinput; one the layout lacks would be
// dropped by mutter without a word, so it is left out here, and said.
void type(const cg_record &r) {
  follow_keymap();
  // The seat may have gained its keyboard since the start (this session's own, at its first key).
  for (int i = 0; keymap == nullptr && display != nullptr && i < 2; i++) wl_roundtrip_on(display, answer_ms);
  for (size_t i = 0; i < r.text_length; i++) {
    uint32_t c = r.text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < r.text_length)
      c = 0x10000 + ((c - 0xD800) << 10) + (r.text[++i] - 0xDC00u);
    xkb_keysym_t ks = text_keysym(c);
    key_level where = {};
    bool on_layout = ks != 0 && (keymap == nullptr || find_level(keymap, group, ks, &where));
    if (on_layout && keymap != nullptr && mutter_level(ks) > 2 &&
        type_char(keymap, group, c, held_keys, press_key_code) == typed_it)
      continue;
    if (!on_layout) {
      char text[5];
      const char *name = keymap != nullptr ? xkb.keymap_layout_get_name(keymap, group) : nullptr;
      note_delivery("T: cannot type U+%04X (%s): the layout \"%s\" has no key for it",
                    static_cast<unsigned>(c), utf8_of(c, text), name != nullptr ? name : "of the seat");
      continue;
    }
    notify({key_sym, ks, 1, 0, 0});
    notify({key_sym, ks, 0, 0, 0});
  }
}

// Before an event: the start's pause, what the bus said meanwhile, and a new session when mutter
// ended this one for new monitors. False once the session is lost.
bool keep_session() {
  if (ready_at != 0) {
    uint64_t now = host_clock_ns();
    if (now < ready_at) host_sleep(static_cast<unsigned>((ready_at - now) / 1000000));
    ready_at = 0;
  }
  pump();
  if (closed) {
    // The notice of new monitors may come just after the session's end.
    for (int tries = 0; !monitors_moved && tries < 10 && pump(); tries++) wait_bus(30);
    // Or came just before it, and was taken for a change the session outlived.
    monitors_moved = monitors_moved || moved_in_session;
    if (!monitors_moved) mark_lost("it closed the remote-desktop session");
  }
  if (monitors_moved && !lost) {
    if (closed) monitors_moved = false;
    if (!(closed ? follow_monitors() : replace_monitors())) {
      char why[sizeof error];
      snprintf(why, sizeof why, "%s", error);
      mark_lost(why);
    }
  }
  return !lost;
}

void key(const cg_record &r) {
  if (r.text_length > 0) {
    if (r.down) type(r);
  } else if (unsigned code = evdev_of(r.keycode); code != 0) {
    if (code < std::size(held_keys)) held_keys[code] = r.down;
    notify({key_code, code, r.down ? 1 : 0, 0, 0});
  }
}

bool gnome_deliver(const cg_record &r) {
  if (bus == nullptr || lost || !keep_session()) return false;
  switch (r.kind) {
    case cg_keyboard: key(r); break;
    case cg_mouse: mouse(r); break;
    case cg_scroll:
      // Quartz's positive wheel values scroll up and left.
      scroll_axis(0, -int64_t{r.wheel[0]});
      if (r.wheels >= 2) scroll_axis(1, -int64_t{r.wheel[1]});
      break;
  }
  pump();  // writes what the socket takes now; the rest goes with the next wait
  return !lost;
}

bool await_dispatch();

void gnome_close() {
  if (bus == nullptr) return;
  // What was sent is taken first (the releases, in their order), then the session stops: mutter
  // would release what a stopping session holds itself, buttons first.
  while (!lost && in_flight > 0 && pump() && in_flight > 0 && wait_bus(read_ms)) {
  }
  // mutter answers a call when it hands the event to its input thread, and a session stopped
  // before that thread has passed it on loses it (a last move, at times, under load).
  if (!lost && started) await_dispatch();
  if (!lost && started) {
    sd_bus_message *m = call(answer_ms, mutter, session, remote, "Stop", nullptr);
    if (m != nullptr) sd.message_unref(m);
  }
  disconnect();
}

const char *gnome_error() { return error[0] != '\0' ? error : nullptr; }
const char *gnome_about() { return about; }
const char *gnome_cannot_type() { return nullptr; }

// Waits until mutter's main loop has passed on every event sent (shared/idle.h). False on a stop
// signal, or once mutter is lost.
bool await_dispatch() {
  idle_wait r = idle_await(bus, &idle, read_ms, "GNOME's compositor");
  if (r == idle_wait::no_answer) mark_lost("it answered no call for a while");
  return r == idle_wait::passed && !lost;
}

// Every event is a call with a reply, which mutter sends once it has queued the event: when none is
// outstanding, mutter has taken them all; then its main loop must pass them on. The start's pause
// and the screen casts come first.
bool gnome_sync() {
  if (bus == nullptr || lost) return false;
  // A session that closes meanwhile leaves calls for the next one, which keep_session sends.
  do {
    if (!keep_session()) return false;
    while (!lost && in_flight > 0 && pump() && in_flight > 0) {
      if (wait_bus(read_ms)) continue;
      // A stop signal cut the wait short: the releases follow, without a reply.
      if (host_stop_signal() != 0 && !host_ending()) return false;
      mark_lost("it answered no call for a while");
    }
  } while (!lost && closed);
  if (!lost && !await_dispatch()) return false;
  // The clients' events are written out when mutter's main loop next waits: a round trip on its
  // Wayland display comes back after that.
  if (!lost && display != nullptr && !wl_roundtrip_on(display, read_ms) && host_stop_signal() != 0 &&
      !host_ending())
    return false;
  return !lost;
}

}  // namespace

const backend gnome_backend = {"gnome",     gnome_open,  gnome_deliver,     gnome_close,
                               gnome_error, gnome_about, gnome_cannot_type, gnome_sync};
