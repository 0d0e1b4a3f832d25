// The bare libei loop: the ceiling for the ei backend. It asks the session bus for an EIS socket as
// hidpipe does (KWin's connectToEIS, else a mutter remote-desktop session's ConnectToEIS), binds the
// seat's devices, waits 300 ms after they resume, and sends with nothing else in the way:
//   ei_loop moves N    N absolute moves over 1280x720 (as wayland_count's "moves" expects); on
//                      mutter each waits for a ping and a bus call, the least that loses none there
//   ei_loop keys N     N taps of the A key
//   ei_loop text N     the benchmark's US text N times, pressed as a person types it (us_text.h)
//   ei_loop sync N     N pings, each waited for; prints "loop RATE" (round trips a second)
// Ends with a ping waited for, so that everything sent was taken.
#include <fcntl.h>
#include <libei.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "us_text.h"

namespace {

sd_bus *bus;
struct ei *context;
bool mutter;          // the socket came from mutter, which merges moves that pile up
std::string session;  // mutter's session
ei_device *pointer, *keyboard;
bool ponged;

double now_s() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A copy of a descriptor a message owns, which outlives the message.
int own(int fd, sd_bus_message *m) {
  int copy = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1;
  sd_bus_message_unref(m);
  return copy;
}

// The EIS socket, or -1.
int socket_from_bus() {
  sd_bus_message *m = nullptr;
  sd_bus_error e{};  // SD_BUS_ERROR_NULL
  int fd = -1, cookie = 0;
  if (sd_bus_call_method(bus, "org.kde.KWin", "/org/kde/KWin/EIS/RemoteDesktop",
                         "org.kde.KWin.EIS.RemoteDesktop", "connectToEIS", &e, &m, "i", 7) >= 0 &&
      sd_bus_message_read(m, "hi", &fd, &cookie) >= 0)
    return own(fd, m);
  sd_bus_error_free(&e);
  sd_bus_message_unref(m);
  m = nullptr;
  const char *mutter_name = "org.gnome.Mutter.RemoteDesktop";
  const char *path = nullptr;
  if (sd_bus_call_method(bus, mutter_name, "/org/gnome/Mutter/RemoteDesktop", mutter_name, "CreateSession",
                         &e, &m, "") < 0 ||
      sd_bus_message_read(m, "o", &path) < 0)
    return -1;
  session = path;
  sd_bus_message_unref(m);
  m = nullptr;
  const char *remote = "org.gnome.Mutter.RemoteDesktop.Session";
  if (sd_bus_call_method(bus, mutter_name, session.c_str(), remote, "Start", &e, nullptr, "") < 0) return -1;
  if (sd_bus_call_method(bus, mutter_name, session.c_str(), remote, "ConnectToEIS", &e, &m, "a{sv}", 0) < 0 ||
      sd_bus_message_read(m, "h", &fd) < 0)
    return -1;
  mutter = true;
  return own(fd, m);
}

void handle(ei_event *e) {
  ei_device *d = ei_event_get_device(e);
  switch (ei_event_get_type(e)) {
    case EI_EVENT_SEAT_ADDED:
      ei_seat_bind_capabilities(ei_event_get_seat(e), EI_DEVICE_CAP_POINTER_ABSOLUTE, EI_DEVICE_CAP_KEYBOARD,
                                EI_DEVICE_CAP_BUTTON, nullptr);
      break;
    case EI_EVENT_DEVICE_RESUMED:
      ei_device_start_emulating(d, 1);
      if (ei_device_has_capability(d, EI_DEVICE_CAP_POINTER_ABSOLUTE) && pointer == nullptr)
        pointer = ei_device_ref(d);
      if (ei_device_has_capability(d, EI_DEVICE_CAP_KEYBOARD) && keyboard == nullptr)
        keyboard = ei_device_ref(d);
      break;
    case EI_EVENT_PONG: ponged = true; break;
    default: break;
  }
  ei_event_unref(e);
}

void pump(int ms) {
  pollfd p{ei_get_fd(context), POLLIN, 0};
  poll(&p, 1, ms);
  ei_dispatch(context);
  for (ei_event *e = nullptr; (e = ei_get_event(context)) != nullptr;) handle(e);
}

bool round_trip() {
  struct ei_ping *p = ei_new_ping(context);
  ponged = false;
  ei_ping(p);
  for (int i = 0; i < 1000 && !ponged; i++) pump(10);
  ei_ping_unref(p);
  return ponged;
}

// mutter's turn: a property of the session, which its main loop serves after EIS.
void bus_turn() {
  sd_bus_message *m = nullptr;
  sd_bus_error e{};  // SD_BUS_ERROR_NULL
  sd_bus_call_method(bus, "org.gnome.Mutter.RemoteDesktop", session.c_str(),
                     "org.freedesktop.DBus.Properties", "Get", &e, &m, "ss",
                     "org.gnome.Mutter.RemoteDesktop.Session", "SessionId");
  sd_bus_error_free(&e);
  sd_bus_message_unref(m);
}

// Sends the workload.
void run_workload(const std::string &what, int n) {
  if (what == "moves") {
    for (int i = 0; i < n; i++) {
      ei_device_pointer_motion_absolute(pointer, 1 + i % 1200, 1 + i / 1200 % 700);
      ei_device_frame(pointer, ei_now(context));
      if (mutter) {
        round_trip();
        bus_turn();
      }
    }
  } else if (what == "keys") {
    for (int i = 0; i < n; i++) {
      for (bool down : {true, false}) {
        ei_device_keyboard_key(keyboard, 30, down);
        ei_device_frame(keyboard, ei_now(context));
      }
    }
  } else if (what == "text") {
    std::string text;
    for (int i = 0; i < n; i++) text += us_text();
    for (auto [code, down] : us_presses(text)) {
      ei_device_keyboard_key(keyboard, code, down);
      ei_device_frame(keyboard, ei_now(context));
    }
  } else if (what == "sync") {
    double began = now_s();
    for (int i = 0; i < n; i++) round_trip();
    printf("loop %.0f\n", n / (now_s() - began));
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: ei_loop moves|keys|text|sync N\n");
    return 2;
  }
  std::string what = argv[1];
  int n = atoi(argv[2]);
  if (sd_bus_open_user(&bus) < 0) return 1;
  int fd = socket_from_bus();
  context = ei_new_sender(nullptr);
  if (fd < 0 || context == nullptr || ei_setup_backend_fd(context, fd) < 0) {
    fprintf(stderr, "ei_loop: no EIS socket\n");
    return 1;
  }
  for (int i = 0; i < 300 && (pointer == nullptr || keyboard == nullptr); i++) pump(10);
  if (pointer == nullptr || keyboard == nullptr) return 1;
  double settle = now_s() + 0.3;
  while (now_s() < settle) pump(10);
  run_workload(what, n);
  round_trip();
  ei_device_stop_emulating(pointer);
  ei_device_stop_emulating(keyboard);
  round_trip();
  ei_unref(context);
  if (mutter)
    sd_bus_call_method(bus, "org.gnome.Mutter.RemoteDesktop", session.c_str(),
                       "org.gnome.Mutter.RemoteDesktop.Session", "Stop", nullptr, nullptr, "");
  sd_bus_unref(bus);
  return 0;
}
