// The desktop's own mouse and keyboard on a headless mutter, for the tests and the benchmark: its
// seat has a pointer and a keyboard only while some input device exists, and a remote-desktop
// session makes its devices at its first call of each kind. This one makes them (a relative move of
// nothing, a tap of F24 before any window has the focus), prints "ready" and stays until its
// standard input ends.
//   mutter_devices          the idle devices
//   mutter_devices moves N  also N absolute moves on the first monitor (to 1 + i % 1200,
//                           1 + i / 1200 % 700), straight through the calls hidpipe makes, with the
//                           same bound on calls in flight and the same pause after the start: the
//                           ceiling of the GNOME benchmark
//   mutter_devices keys N   also N taps of A, likewise
// DBUS_SESSION_BUS_ADDRESS names mutter's session bus.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char mutter[] = "org.gnome.Mutter.RemoteDesktop";
constexpr char remote[] = "org.gnome.Mutter.RemoteDesktop.Session";

sd_bus *bus;
char session[128];
int in_flight;

int fail(const char *what, const sd_bus_error *e) {
  printf("failed: %s: %s\n", what, e != nullptr && e->message != nullptr ? e->message : "");
  fflush(stdout);
  return 1;
}

int on_stream(sd_bus_message * /*m*/, void *data, sd_bus_error * /*e*/) {
  *static_cast<bool *>(data) = true;
  return 0;
}

int on_reply(sd_bus_message * /*m*/, void * /*data*/, sd_bus_error * /*e*/) {
  in_flight--;
  return 0;
}

// The path of a screen cast stream of the first monitor of the session, for absolute moves.
bool first_stream(char (&stream)[128]) {
  sd_bus_error e = {};  // SD_BUS_ERROR_NULL, which C++ takes only as a C99 compound literal
  sd_bus_message *m = nullptr;
  const char *id = nullptr, *path = nullptr;
  char cast[128];
  if (sd_bus_get_property(bus, mutter, session, remote, "SessionId", &e, &m, "s") < 0 ||
      sd_bus_message_read(m, "s", &id) < 0)
    return false;
  sd_bus_message *r = nullptr;
  if (sd_bus_call_method(bus, "org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast",
                         "org.gnome.Mutter.ScreenCast", "CreateSession", &e, &r, "a{sv}", 1,
                         "remote-desktop-session-id", "s", id) < 0 ||
      sd_bus_message_read(r, "o", &path) < 0)
    return false;
  snprintf(cast, sizeof cast, "%s", path);
  sd_bus_message_unref(r);
  sd_bus_message_unref(m);
  if (sd_bus_call_method(bus, mutter, cast, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor", &e, &r,
                         "sa{sv}", "Meta-0", 0) < 0 ||
      sd_bus_message_read(r, "o", &path) < 0)
    return false;
  snprintf(stream, sizeof stream, "%s", path);
  sd_bus_message_unref(r);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  bool moving = argc > 2 && strcmp(argv[1], "moves") == 0, typing = argc > 2 && strcmp(argv[1], "keys") == 0;
  bool loop = moving || typing;
  long count = loop ? atol(argv[2]) * (typing ? 2 : 1) : 0;
  sd_bus_error e = {};  // SD_BUS_ERROR_NULL, which C++ takes only as a C99 compound literal
  sd_bus_message *m = nullptr;
  const char *path = nullptr;
  if (sd_bus_open_user(&bus) < 0) return fail("the session bus", nullptr);
  if (sd_bus_call_method(bus, mutter, "/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
                         "CreateSession", &e, &m, "") < 0 ||
      sd_bus_message_read(m, "o", &path) < 0)
    return fail("CreateSession", &e);
  snprintf(session, sizeof session, "%s", path);
  sd_bus_message_unref(m);
  char stream[128] = {};
  bool streaming = !loop;
  if (loop && !first_stream(stream)) return fail("a screen cast of Meta-0", &e);
  if (loop)
    sd_bus_match_signal(bus, nullptr, nullptr, stream, "org.gnome.Mutter.ScreenCast.Stream",
                        "PipeWireStreamAdded", on_stream, &streaming);
  if (sd_bus_call_method(bus, mutter, session, remote, "Start", &e, nullptr, "") < 0)
    return fail("Start", &e);
  // In a loop, its own calls make the devices.
  bool made = loop || (sd_bus_call_method(bus, mutter, session, remote, "NotifyPointerMotionRelative", &e,
                                          nullptr, "dd", 0.0, 0.0) >= 0 &&
                       sd_bus_call_method(bus, mutter, session, remote, "NotifyKeyboardKeycode", &e, nullptr,
                                          "ub", 194u, 1) >= 0 &&
                       sd_bus_call_method(bus, mutter, session, remote, "NotifyKeyboardKeycode", &e, nullptr,
                                          "ub", 194u, 0) >= 0);
  if (!made) return fail("the devices", &e);
  printf("ready\n");
  fflush(stdout);
  if (loop) {
    // As hidpipe sends them: once the stream exists and after the same pause, each event a call
    // whose reply is awaited, 2 at most outstanding.
    while (!streaming) {
      if (sd_bus_process(bus, nullptr) > 0) continue;
      sd_bus_wait(bus, UINT64_MAX);
    }
    usleep(250000);
    for (long i = 0; i < count || in_flight > 0;) {
      while (in_flight >= 2 || (i >= count && in_flight > 0)) {
        if (sd_bus_process(bus, nullptr) > 0) continue;
        sd_bus_wait(bus, UINT64_MAX);
      }
      if (i >= count) break;
      sd_bus_message *call = nullptr;
      if (moving) {
        sd_bus_message_new_method_call(bus, &call, mutter, session, remote, "NotifyPointerMotionAbsolute");
        sd_bus_message_append(call, "sdd", stream, static_cast<double>(1 + i % 1200),
                              static_cast<double>(1 + i / 1200 % 700));
      } else {
        sd_bus_message_new_method_call(bus, &call, mutter, session, remote, "NotifyKeyboardKeycode");
        sd_bus_message_append(call, "ub", 30u, i % 2 == 0 ? 1 : 0);
      }
      sd_bus_call_async(bus, nullptr, call, on_reply, nullptr, 0);
      sd_bus_message_unref(call);
      in_flight++;
      i++;
    }
    sd_bus_call_method(bus, mutter, session, remote, "Stop", &e, nullptr, "");
    sd_bus_flush_close_unref(bus);
    return 0;
  }
  for (char c; read(0, &c, 1) > 0;) {
  }
  sd_bus_call_method(bus, mutter, session, remote, "Stop", &e, nullptr, "");
  sd_bus_flush_close_unref(bus);
  return 0;
}
