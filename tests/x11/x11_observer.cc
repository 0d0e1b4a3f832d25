#include "x11_observer.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/record.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

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

void pointer_position(int *x, int *y) {
  Window root = 0, child = 0;
  int wx = 0, wy = 0;
  unsigned mask = 0;
  *x = *y = -1;
  XQueryPointer(control, DefaultRootWindow(control), &root, &child, x, y, &wx, &wy, &mask);
}

void unlock_caps() {
  XkbLockModifiers(control, XkbUseCoreKbd, LockMask, 0);
  XSync(control, False);
}

std::vector<unsigned long> keyboard_mapping() {
  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(control, &min, &max);
  KeySym *syms = XGetKeyboardMapping(control, static_cast<KeyCode>(min), max - min + 1, &per);
  std::vector<unsigned long> all(syms, syms + (max - min + 1) * per);
  XFree(syms);
  return all;
}

std::vector<int> take_spare_codes(unsigned long keysym, int leave) {
  std::vector<int> codes;
  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(control, &min, &max);
  KeySym *syms = XGetKeyboardMapping(control, static_cast<KeyCode>(min), max - min + 1, &per);
  for (int code = min; code <= max; code++) {
    bool none = true;
    for (int c = 0; c < per; c++) none = none && syms[(code - min) * per + c] == NoSymbol;
    if (!none) continue;
    if (leave > 0) {
      leave--;
      continue;
    }
    KeySym one = keysym;
    XChangeKeyboardMapping(control, code, 1, &one, 1);
    codes.push_back(code);
  }
  XFree(syms);
  XSync(control, False);
  return codes;
}

void spare_codes_back(const std::vector<int> &codes) {
  for (int code : codes) {
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(control, code, 1, &none, 1);
  }
  XSync(control, False);
}

int empty_codes() {
  int min = 0, max = 0, per = 0, empty = 0;
  XDisplayKeycodes(control, &min, &max);
  KeySym *syms = XGetKeyboardMapping(control, static_cast<KeyCode>(min), max - min + 1, &per);
  for (int code = min; code <= max; code++) {
    bool none = true;
    for (int c = 0; c < per; c++) none = none && syms[(code - min) * per + c] == NoSymbol;
    empty += none ? 1 : 0;
  }
  XFree(syms);
  return empty;
}

std::vector<unsigned long> spare_record() {
  Atom record = XInternAtom(control, "_HIDPIPE_KEYCODES", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *bytes = nullptr;
  std::vector<unsigned long> values;
  if (XGetWindowProperty(control, DefaultRootWindow(control), record, 0, 4096, False, AnyPropertyType, &type,
                         &format, &count, &after, &bytes) == Success &&
      bytes != nullptr && format == 32)
    for (unsigned long i = 0; i < count; i++)
      values.push_back(reinterpret_cast<unsigned long *>(bytes)[i] & 0xffffffffu);
  if (bytes != nullptr) XFree(bytes);
  return values;
}

std::vector<int> spare_code_list() {
  std::vector<int> codes;
  int min = 0, max = 0, per = 0;
  XDisplayKeycodes(control, &min, &max);
  KeySym *syms = XGetKeyboardMapping(control, static_cast<KeyCode>(min), max - min + 1, &per);
  for (int code = min; code <= max; code++) {
    bool none = true;
    for (int c = 0; c < per; c++) none = none && syms[(code - min) * per + c] == NoSymbol;
    if (none) codes.push_back(code);
  }
  XFree(syms);
  return codes;
}

void bind_as_a_session(int code, unsigned long keysym) {
  KeySym both[2] = {keysym, keysym};
  XChangeKeyboardMapping(control, code, 2, both, 1);
  XSync(control, False);
}

void set_spare_record(const std::vector<unsigned long> &values) {
  Atom record = XInternAtom(control, "_HIDPIPE_KEYCODES", False);
  if (values.empty())
    XDeleteProperty(control, DefaultRootWindow(control), record);
  else
    XChangeProperty(control, DefaultRootWindow(control), record, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(values.data()), static_cast<int>(values.size()));
  XSync(control, False);
}

unsigned long server_time() {
  Window w = XCreateSimpleWindow(control, DefaultRootWindow(control), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(control, w, PropertyChangeMask);
  Atom atom = XInternAtom(control, "_HIDPIPE_TEST_TIME", False);
  XChangeProperty(control, w, atom, XA_CARDINAL, 32, PropModeAppend, nullptr, 0);
  XEvent e;
  XWindowEvent(control, w, PropertyChangeMask, &e);
  XDestroyWindow(control, w);
  XSync(control, False);
  return e.xproperty.time;
}

void lock_group(int group) {
  XkbLockGroup(control, XkbUseCoreKbd, static_cast<unsigned>(group));
  XSync(control, False);
}

bool x11_reader::start(const std::string &name, long slow_us) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
  std::string slow = std::to_string(slow_us);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    setenv("DISPLAY", name.c_str(), 1);
    execl(X11_READER, "x11_reader", "--slow-us", slow.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
  pending_.clear();
  // Its first line says that it is ready; anything else, or nothing, that it did not come up.
  using namespace std::chrono;
  for (auto until = steady_clock::now() + seconds(10); steady_clock::now() < until;) {
    size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      bool ready = pending_.compare(0, newline, "ready") == 0;
      pending_.erase(0, newline + 1);
      return ready;
    }
    pollfd p{output_, POLLIN, 0};
    char buf[4096];
    ssize_t n = poll(&p, 1, 100) > 0 ? read(output_, buf, sizeof buf) : 0;
    if (n < 0 || (n == 0 && (p.revents & POLLHUP) != 0)) return false;
    pending_.append(buf, static_cast<size_t>(n > 0 ? n : 0));
  }
  return false;
}

std::vector<unsigned> x11_reader::take(size_t count, int quiet_ms) {
  using namespace std::chrono;
  std::vector<unsigned> typed;
  auto quiet_since = steady_clock::now();
  while (typed.size() < count) {
    size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      std::istringstream words(line);
      std::string kind;
      words >> kind;
      if (kind == "drained") break;
      if (kind == "none") typed.push_back(0);
      for (unsigned c = 0; kind == "c" && words >> std::hex >> c;) typed.push_back(c);
      quiet_since = steady_clock::now();
      continue;
    }
    int left =
        quiet_ms - static_cast<int>(duration_cast<milliseconds>(steady_clock::now() - quiet_since).count());
    pollfd p{output_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    char buf[4096];
    ssize_t n = read(output_, buf, sizeof buf);
    if (n <= 0) break;
    pending_.append(buf, static_cast<size_t>(n));
  }
  return typed;
}

std::vector<unsigned> x11_reader::drain() {
  if (write(input_, "?", 1) != 1) return {};
  return take(SIZE_MAX, 5000);
}

void x11_reader::stop() {
  if (input_ >= 0) close(input_);
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) close(output_);
  pid_ = 0;
  input_ = output_ = -1;
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
