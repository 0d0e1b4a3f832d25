// The uinput backend: virtual input devices of the kernel's, made through /dev/uinput, which every
// Wayland compositor, X11 and the console read like a real keyboard, tablet and mouse. Keys go by
// position (evdev codes), which the desktop's layout interprets; text is typed by the keys of the
// user's layout (text.cc). The pointer is absolute, over the desktop's size in pixels, on
// the first device; relative motion goes through a second, a mouse, as one device with both kinds
// of axes confuses libinput.
#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>

#include "backend.h"
#include "environment.h"
#include "host.h"
#include "shared/evdev.h"
#include "uinput/device.h"

namespace {

int device = -1;          // /dev/uinput, while the virtual device exists
int mouse = -1;           // /dev/uinput again, for the device of relative motion, made beside it
int width, height;        // the desktop's size in pixels: the absolute axes run 0..width-1, 0..height-1
int sent_x = -1, sent_y;  // the position last written, or -1 before the first
int64_t wheel_rest[2];    // hi-res wheel units not yet sent as a whole notch: vertical, horizontal
char error[400];          // why the device cannot be made or was lost, or empty
char about[1400];         // where events go, for --verbose
input_event frame[8];     // the event group being built
size_t framed;            // events in frame
bool held[256];           // the keys K holds, by evdev code: text leaves them alone
int caps_light = -1;      // Caps Lock's light as the desktop last set it on the device, or -1
bool broken;              // a write failed while typing; error says why
char text_about[480];     // which keymap text is typed with, for --verbose

// Hi-res wheel units per notch, as the kernel counts them; a pixel of W is one unit, so 120 pixels
// make a notch, as on X11.
constexpr int64_t units_per_notch = 120;

// How long to wait, after the device's node exists, for the desktop to open it before the first
// event: events written earlier are lost. HIDPIPE_UINPUT_SETTLE_MS changes it.
constexpr long default_settle_ms = 300;

// Linux buttons by platform button: left, right, center, back, forward.
constexpr uint16_t buttons[] = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_SIDE, BTN_EXTRA};

bool fail(const char *what) {
  snprintf(error, sizeof error, "%s: %s", what, strerror(errno));
  return false;
}

void add(uint16_t type, uint16_t code, int32_t value) {
  if (framed < std::size(frame)) frame[framed++] = input_event{{}, type, code, value};
}

// Ends the group with SYN_REPORT and writes it in one piece to the device (the first unless
// another is named); false when the device is gone.
bool send_frame(int to = device) {
  if (framed == 0) return true;
  add(EV_SYN, SYN_REPORT, 0);
  size_t bytes = framed * sizeof frame[0];
  framed = 0;
  for (;;) {
    ssize_t n = write(to, frame, bytes);
    if (n == static_cast<ssize_t>(bytes)) return true;
    if (n < 0 && errno == EINTR) continue;
    return fail("the uinput device stopped taking events");
  }
}

int clamp(double v, int size) {
  // The kernel passes values outside the axis's range on unchanged; keep them inside.
  if (!(v > 0)) return 0;
  if (v > size - 1) return size - 1;
  return static_cast<int>(v);
}

void position(const cg_record &r, bool always) {
  int x = clamp(r.at.x, width), y = clamp(r.at.y, height);
  if (!always && x == sent_x && y == sent_y) return;
  add(EV_ABS, ABS_X, x);
  add(EV_ABS, ABS_Y, y);
  sent_x = x;
  sent_y = y;
}

// Adds units to an axis: its hi-res event, and the low-res notches that have accumulated.
void wheel(int axis, int64_t units, uint16_t hi_res, uint16_t notch) {
  if (units == 0) return;
  add(EV_REL, hi_res, static_cast<int32_t>(units));
  wheel_rest[axis] += units;
  int64_t notches = wheel_rest[axis] / units_per_notch;
  wheel_rest[axis] -= notches * units_per_notch;
  if (notches != 0) add(EV_REL, notch, static_cast<int32_t>(notches));
}

// The desktop's size: the display server's when one is reachable (the Wayland outputs, the X root
// window), else HIDPIPE_SCREEN=WxH, else the first connected monitor's mode in sysfs. False when
// none tells it.
bool desktop_size(int *w, int *h) {
  if (wayland_desktop_size(w, h) || x11_root_size(w, h)) return true;
  // Checked at start: a value here is well formed.
  if (env_set("HIDPIPE_SCREEN")) return screen_size(getenv("HIDPIPE_SCREEN"), w, h) == nullptr;
  DIR *drm = opendir("/sys/class/drm");
  bool found = false;
  for (dirent *e = drm != nullptr ? readdir(drm) : nullptr; e != nullptr && !found; e = readdir(drm)) {
    char path[320], line[64] = {};
    snprintf(path, sizeof path, "/sys/class/drm/%s/status", e->d_name);
    FILE *f = fopen(path, "r");
    if (f == nullptr) continue;
    bool connected = fgets(line, sizeof line, f) != nullptr && strncmp(line, "connected", 9) == 0;
    fclose(f);
    snprintf(path, sizeof path, "/sys/class/drm/%s/modes", e->d_name);
    f = connected ? fopen(path, "r") : nullptr;
    if (f == nullptr) continue;
    found = fscanf(f, "%dx%d", w, h) == 2 && *w > 0 && *h > 0;
    fclose(f);
  }
  if (drm != nullptr) closedir(drm);
  return found;
}

// A device's event node, /dev/input/eventN, once it exists (waiting at most two seconds); an
// empty string when the kernel does not say which it is.
void find_node(int fd, char (&node)[280]) {
  node[0] = '\0';
  char name[64] = {};
  if (ioctl(fd, UI_GET_SYSNAME(sizeof name - 1), name) < 0) return;
  char dir[160] = {};
  snprintf(dir, sizeof dir, "/sys/devices/virtual/input/%s", name);
  for (int tries = 0; tries < 200; tries++) {
    DIR *d = opendir(dir);
    for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d))
      if (strncmp(e->d_name, "event", 5) == 0) snprintf(node, sizeof node, "/dev/input/%s", e->d_name);
    if (d != nullptr) closedir(d);
    if (node[0] != '\0' && access(node, F_OK) == 0) return;
    node[0] = '\0';
    if (!host_sleep(10)) return;  // a stop signal: the session ends at once
  }
}

// Waits until the devices' nodes exist, then the settle time, so that the desktop has opened them
// before the first event. Names the nodes in about.
void wait_until_ready() {
  char node[280], mouse_node[280];
  find_node(device, node);
  find_node(mouse, mouse_node);
  // The value was checked at start (host_settle_ms); a stop signal ends the wait.
  long settle = env_number("HIDPIPE_UINPUT_SETTLE_MS", default_settle_ms);
  if (settle > 0) host_sleep(static_cast<unsigned>(settle));
  snprintf(about, sizeof about, "events go to the uinput device %s (%dx%d pixels), relative motion to %s%s",
           node[0] != '\0' ? node : "hidpipe", width, height,
           mouse_node[0] != '\0' ? mouse_node : "hidpipe relative", text_about);
}

bool set_bit(unsigned long request, int bit, int fd = device) {
  return ioctl(fd, request, bit) >= 0 || fail("/dev/uinput refused the device's description");
}

// Names and creates the device described on fd.
bool create(int fd, const char *name) {
  uinput_setup setup = {};
  setup.id.bustype = BUS_VIRTUAL;
  setup.id.version = 1;
  snprintf(setup.name, sizeof setup.name, "%s", name);
  return (ioctl(fd, UI_DEV_SETUP, &setup) >= 0 || fail("/dev/uinput refused the device")) &&
         (ioctl(fd, UI_DEV_CREATE) >= 0 || fail("/dev/uinput could not create the device"));
}

// The device of relative motion: a mouse with both axes. It sends no button, but declares the
// left one, without which udev does not take it for a mouse and libinput ignores it.
bool describe_mouse() {
  return set_bit(UI_SET_EVBIT, EV_SYN, mouse) && set_bit(UI_SET_EVBIT, EV_KEY, mouse) &&
         set_bit(UI_SET_EVBIT, EV_REL, mouse) && set_bit(UI_SET_KEYBIT, BTN_LEFT, mouse) &&
         set_bit(UI_SET_RELBIT, REL_X, mouse) && set_bit(UI_SET_RELBIT, REL_Y, mouse) &&
         create(mouse, "hidpipe relative");
}

// Declares exactly the events the device sends: the kernel drops any other.
bool describe_device() {
  bool ok = set_bit(UI_SET_EVBIT, EV_SYN) && set_bit(UI_SET_EVBIT, EV_KEY) && set_bit(UI_SET_EVBIT, EV_REL) &&
            set_bit(UI_SET_EVBIT, EV_ABS);
  // A Caps Lock light, which the desktop sets as its Caps Lock changes: text reads it to switch
  // Caps Lock off around itself.
  ok = ok && set_bit(UI_SET_EVBIT, EV_LED) && set_bit(UI_SET_LEDBIT, LED_CAPSL);
  for (unsigned mac = 0; ok && mac < 128; mac++)
    if (unsigned code = evdev_of(mac); code != 0) ok = set_bit(UI_SET_KEYBIT, static_cast<int>(code));
  for (uint16_t b : buttons) ok = ok && set_bit(UI_SET_KEYBIT, b);
  for (int rel : {REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES})
    ok = ok && set_bit(UI_SET_RELBIT, rel);
  for (int axis : {ABS_X, ABS_Y}) {
    ok = ok && set_bit(UI_SET_ABSBIT, axis);
    uinput_abs_setup abs = {};
    abs.code = static_cast<uint16_t>(axis);
    abs.absinfo.maximum = (axis == ABS_X ? width : height) - 1;
    ok = ok && (ioctl(device, UI_ABS_SETUP, &abs) >= 0 || fail("/dev/uinput refused the pointer's range"));
  }
  return ok && create(device, "hidpipe");
}

// Destroys the devices made so far, which releases whatever they hold, and closes them.
void destroy_devices() {
  for (int *fd : {&mouse, &device}) {
    if (*fd < 0) continue;
    ioctl(*fd, UI_DEV_DESTROY);
    close(*fd);
    *fd = -1;
  }
}

bool uinput_open() {
  error[0] = '\0';
  if (!desktop_size(&width, &height)) {
    snprintf(error, sizeof error,
             "cannot tell the desktop's size for the uinput pointer: no X server answers, HIDPIPE_SCREEN is "
             "not set (WIDTHxHEIGHT) and no connected monitor shows in /sys/class/drm");
    return false;
  }
  const char *bad = nullptr;
  text_about[0] = '\0';
  if (!ut_start(text_about, sizeof text_about, &bad)) {
    snprintf(error, sizeof error, "%s", bad);
    return false;
  }
  // Read too, for the lights that the desktop sets.
  device = open("/dev/uinput", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (device < 0) {
    ut_stop();
    return fail("cannot open /dev/uinput (see man hidpipe, UINPUT, for access)");
  }
  // A device that is described but not created goes with its descriptor.
  bool made = describe_device();
  if (made) {
    mouse = open("/dev/uinput", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    made = (mouse >= 0 || fail("cannot open /dev/uinput a second time")) && describe_mouse();
  }
  if (!made) {
    destroy_devices();
    ut_stop();
    return false;
  }
  sent_x = -1;
  caps_light = -1;
  broken = false;
  for (bool &h : held) h = false;
  wheel_rest[0] = wheel_rest[1] = 0;
  wait_until_ready();
  return true;
}

// Reads what the desktop wrote to the device since: Caps Lock's light.
void read_lights() {
  input_event e[16];
  for (;;) {
    ssize_t n = read(device, e, sizeof e);
    if (n < static_cast<ssize_t>(sizeof e[0])) return;
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof e[0]; i++)
      if (e[i].type == EV_LED && e[i].code == LED_CAPSL) caps_light = e[i].value != 0 ? 1 : 0;
  }
}

// Presses or releases a key for text, each its own group, as a keyboard reports them.
void press_for_text(unsigned code, bool down) {
  if (broken) return;
  add(EV_KEY, static_cast<uint16_t>(code), down ? 1 : 0);
  broken = !send_frame();
}

void keyboard(const cg_record &r) {
  if (r.text_length > 0) {
    // Text is typed on the key-down that carries it.
    if (r.down) {
      read_lights();
      ut_type(r, held, caps_light, press_for_text);
    }
  } else if (unsigned code = evdev_of(r.keycode); code != 0) {
    if (code < std::size(held)) held[code] = r.down;
    add(EV_KEY, static_cast<uint16_t>(code), r.down ? 1 : 0);
  }
}

// A move or a button on the first device.
void pointer(const cg_record &r) {
  if (is_button(r.type)) {
    // A button acts where the pointer is: put it at the event's place first if it is not there.
    position(r, false);
    if (r.button < std::size(buttons)) add(EV_KEY, buttons[r.button], is_press(r.type) ? 1 : 0);
  } else {
    position(r, true);
  }
}

// A move by the event's deltas on the second device. The deltas come from 32-bit commands; the
// kernel drops an axis that does not move, so it is left out. Where the pointer then is, only the
// desktop knows.
bool move_by(const cg_record &r) {
  if (r.delta[0] != 0) add(EV_REL, REL_X, static_cast<int32_t>(r.delta[0]));
  if (r.delta[1] != 0) add(EV_REL, REL_Y, static_cast<int32_t>(r.delta[1]));
  sent_x = -1;
  return send_frame(mouse);
}

bool uinput_deliver(const cg_record &r) {
  if (device < 0 || broken) return false;
  switch (r.kind) {
    case cg_keyboard:
      keyboard(r);
      if (broken) return false;
      break;
    case cg_mouse:
      if (r.relative && !is_button(r.type)) return move_by(r);
      pointer(r);
      break;
    case cg_scroll:
      // Quartz's positive wheel 1 scrolls up, as REL_WHEEL's positive values do; its positive
      // wheel 2 scrolls left, where REL_HWHEEL's positive values scroll right.
      wheel(0, r.wheel[0], REL_WHEEL_HI_RES, REL_WHEEL);
      if (r.wheels >= 2) wheel(1, -int64_t{r.wheel[1]}, REL_HWHEEL_HI_RES, REL_HWHEEL);
      break;
  }
  return send_frame();
}

void uinput_close() {
  if (device < 0) return;
  destroy_devices();
  ut_stop();
}

const char *uinput_error() { return error[0] != '\0' ? error : nullptr; }
const char *uinput_about() { return about; }
const char *uinput_cannot_type() { return ut_cannot_type(); }

// Each group was written to the kernel when delivered, and the device was ready when made: no
// reader of the device can be waited for.
bool uinput_sync() { return device >= 0 && !broken; }

}  // namespace

// Without libxkbcommon's headers the build has no layouts: keys are pressed by position only.
#ifndef HIDPIPE_UINPUT_TEXT
bool ut_start(char * /*about*/, size_t /*size*/, const char ** /*why*/) { return true; }
void ut_type(const cg_record & /*r*/, const bool (&/*held*/)[256], int /*caps*/,
             void (* /*press*/)(unsigned, bool)) {}
const char *ut_cannot_type() {
  return "this build of the uinput backend has no keyboard layouts (it needs libxkbcommon-dev), so it cannot "
         "type characters";
}
void ut_stop() {}
#endif

const backend uinput_backend = {"uinput",     uinput_open,  uinput_deliver,     uinput_close,
                                uinput_error, uinput_about, uinput_cannot_type, uinput_sync};
