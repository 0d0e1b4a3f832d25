#include "x11_observer.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/record.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

static_assert(x_key_press == KeyPress && x_key_release == KeyRelease && x_button_press == ButtonPress &&
              x_button_release == ButtonRelease && x_motion == MotionNotify && x_shift_mask == ShiftMask);

namespace {

Display *control;           // requests: creating the context, pings, queries
Display *data;              // the recorded stream
XRecordContext context;     // what is recorded
std::vector<x_event> seen;  // events recorded and not yet taken

void on_record(XPointer /*closure*/, XRecordInterceptData *d) {
  if (d->category == XRecordFromServer && d->data_len > 0) {
    const auto *e = reinterpret_cast<const xEvent *>(d->data);
    int type = e->u.u.type & 0x7f;
    if (type >= KeyPress && type <= MotionNotify)
      seen.push_back({type, type == MotionNotify ? 0 : e->u.u.detail, e->u.keyButtonPointer.rootX,
                      e->u.keyButtonPointer.rootY, e->u.keyButtonPointer.state});
  }
  XRecordFreeData(d);
}

}  // namespace

bool observe_start(const std::string &name) {
  control = XOpenDisplay(name.c_str());
  data = XOpenDisplay(name.c_str());
  int major = 0, minor = 0;
  if (control == nullptr || data == nullptr || XRecordQueryVersion(control, &major, &minor) == 0)
    return false;
  XRecordRange *range = XRecordAllocRange();
  range->device_events.first = KeyPress;
  range->device_events.last = MotionNotify;
  XRecordClientSpec clients = XRecordAllClients;
  context = XRecordCreateContext(control, 0, &clients, 1, &range, 1);
  XFree(range);
  XSync(control, False);
  seen.clear();
  return context != 0 && XRecordEnableContextAsync(data, context, on_record, nullptr) != 0;
}

std::vector<x_event> observe_take(size_t count, int wait_ms, bool spin) {
  using namespace std::chrono;
  auto last_new = steady_clock::now();
  size_t had = seen.size();
  while (seen.size() < count && steady_clock::now() - last_new < milliseconds(wait_ms)) {
    // RECORD holds recorded events back until the server next sends a client a reply: ask for one.
    XSync(control, False);
    pollfd p{ConnectionNumber(data), POLLIN, 0};
    poll(&p, 1, spin ? 0 : 1);
    XRecordProcessReplies(data);
    if (seen.size() != had) {
      had = seen.size();
      last_new = steady_clock::now();
    }
  }
  std::vector<x_event> taken;
  taken.swap(seen);
  return taken;
}

void observe_stop() {
  if (control != nullptr && context != 0) {
    XRecordDisableContext(control, context);
    XRecordFreeContext(control, context);
    XSync(control, False);
  }
  if (data != nullptr) XCloseDisplay(data);
  if (control != nullptr) XCloseDisplay(control);
  control = data = nullptr;
  context = 0;
}

bool anything_down() {
  char keymap[32] = {};
  XQueryKeymap(control, keymap);
  for (char byte : keymap)
    if (byte != 0) return true;
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  XQueryPointer(control, DefaultRootWindow(control), &root, &child, &rx, &ry, &wx, &wy, &mask);
  return (mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask)) != 0;
}

std::vector<unsigned long> keyboard_mapping() {
  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(control, &min, &max);
  KeySym *syms = XGetKeyboardMapping(control, static_cast<KeyCode>(min), max - min + 1, &per);
  std::vector<unsigned long> all(syms, syms + (max - min + 1) * per);
  XFree(syms);
  return all;
}

namespace {

Display *typed;  // the focused window's connection
Window window;   // the window that holds the focus

}  // namespace

bool focus_start(const std::string &name) {
  typed = XOpenDisplay(name.c_str());
  if (typed == nullptr) return false;
  Window root = DefaultRootWindow(typed);
  window = XCreateSimpleWindow(typed, root, 0, 0, 200, 200, 0, 0, 0);
  XSelectInput(typed, window, KeyPressMask | StructureNotifyMask);
  XMapWindow(typed, window);
  for (XEvent e; XNextEvent(typed, &e) == 0 && e.type != MapNotify;) {
  }
  XSetInputFocus(typed, window, RevertToParent, CurrentTime);
  // Xlib loads the keyboard description, and asks to hear of its changes, on the first lookup: do
  // it now, as an application has long done before anything is typed into it.
  XKeyEvent probe = {};
  probe.type = KeyPress;
  probe.display = typed;
  probe.keycode = 38;
  char text[16];
  KeySym keysym = NoSymbol;
  XLookupString(&probe, text, sizeof text, &keysym, nullptr);
  XSync(typed, False);
  return true;
}

std::vector<unsigned long> focus_take(size_t count, int wait_ms) {
  using namespace std::chrono;
  std::vector<unsigned long> keysyms;
  auto last_new = steady_clock::now();
  while (keysyms.size() < count && steady_clock::now() - last_new < milliseconds(wait_ms)) {
    if (XPending(typed) == 0) {
      pollfd p{ConnectionNumber(typed), POLLIN, 0};
      poll(&p, 1, 5);
      continue;
    }
    XEvent e;
    XNextEvent(typed, &e);
    if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
    if (e.type != KeyPress) continue;
    char text[16];
    KeySym keysym = NoSymbol;
    XLookupString(&e.xkey, text, sizeof text, &keysym, nullptr);
    // Shift and the level 3 key arrive as key presses too; an application types nothing for them.
    if (IsModifierKey(keysym)) continue;
    keysyms.push_back(keysym);
    last_new = steady_clock::now();
  }
  return keysyms;
}

void focus_stop() {
  if (typed != nullptr) XCloseDisplay(typed);
  typed = nullptr;
}

std::string describe(const x_event &e) {
  char buf[96];
  switch (e.type) {
    case KeyPress: snprintf(buf, sizeof buf, "key-press %d", e.detail); break;
    case KeyRelease: snprintf(buf, sizeof buf, "key-release %d", e.detail); break;
    case ButtonPress: snprintf(buf, sizeof buf, "button-press %d at %d,%d", e.detail, e.x, e.y); break;
    case ButtonRelease: snprintf(buf, sizeof buf, "button-release %d at %d,%d", e.detail, e.x, e.y); break;
    default: snprintf(buf, sizeof buf, "motion %d,%d", e.x, e.y); break;
  }
  return buf;
}
