// An X application being typed into, as toolkits read their keys: a focused window of its own
// connection that translates each key press when it handles it, with the keyboard mapping as Xlib
// knows it then (fetched again, lazily, after each notice of a change), through an input context
// (Xutf8LookupString). Prints one line per key press that types something, flushed:
//   ready                   once the window has the focus and its mapping
//   c HEX ...               the code points the press typed, in hex ("c 3f" for "?")
//   none CODE               a press of key code CODE that typed nothing: the key had no keysym then
//   drained                 after a '?' on its standard input: every event the server had made for
//                           it by then (a round trip later) has been read and printed
// Modifier keys, which type nothing, are left out. Runs until its standard input ends.
//   x11_reader [--slow-us N] [--stamp]
//     --slow-us N  spends N microseconds on each key press before translating it, as a busy
//                  application does
//     --stamp      prefixes each line with the microseconds of the monotonic clock when the press
//                  was translated
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

long long now_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The code points of UTF-8 text, as "c HEX HEX ...".
void print_text(const char *text, int length, bool stamp) {
  if (stamp) printf("%lld ", now_us());
  printf("c");
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  for (int i = 0; i < length;) {
    unsigned c = p[i];
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    c &= extra == 3 ? 0x07u : extra == 2 ? 0x0Fu : extra == 1 ? 0x1Fu : 0x7Fu;
    for (int k = 1; k <= extra && i + k < length; k++) c = (c << 6) | (p[i + k] & 0x3Fu);
    printf(" %x", c);
    i += extra + 1;
  }
  printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  long slow_us = 0;
  bool stamp = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--slow-us") == 0 && i + 1 < argc) slow_us = atol(argv[++i]);
    if (strcmp(argv[i], "--stamp") == 0) stamp = true;
  }
  setlocale(LC_ALL, "C.UTF-8");
  XSetLocaleModifiers("@im=none");
  Display *d = XOpenDisplay(nullptr);
  if (d == nullptr) {
    printf("no display\n");
    return 1;
  }
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 300, 200, 0, 0, 0);
  XSelectInput(d, w, KeyPressMask | StructureNotifyMask);
  XMapWindow(d, w);
  for (XEvent e; XNextEvent(d, &e) == 0 && e.type != MapNotify;) {
  }
  XSetInputFocus(d, w, RevertToParent, CurrentTime);
  XIM im = XOpenIM(d, nullptr, nullptr, nullptr);
  XIC ic = im != nullptr ? XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow,
                                     w, XNFocusWindow, w, nullptr)
                         : nullptr;
  // Xlib loads the mapping, and starts to follow its notices, at the first lookup: done now, as an
  // application has long done before anything is typed into it.
  XKeyEvent probe = {};
  probe.type = KeyPress;
  probe.display = d;
  probe.window = w;
  probe.keycode = 38;
  char text[64];
  KeySym keysym = NoSymbol;
  XLookupString(&probe, text, sizeof text, &keysym, nullptr);
  XSync(d, False);
  printf("ready\n");
  fflush(stdout);
  pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {0, POLLIN, 0}};
  bool asked = false;  // a '?' came: say "drained" once what the server sent is read
  for (;;) {
    // XPending reads what has arrived without waiting for more.
    while (XPending(d) > 0) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
      if (e.type != KeyPress) continue;
      if (slow_us > 0) usleep(static_cast<useconds_t>(slow_us));
      Status status = 0;
      keysym = NoSymbol;
      int n = ic != nullptr ? Xutf8LookupString(ic, &e.xkey, text, sizeof text - 1, &keysym, &status)
                            : XLookupString(&e.xkey, text, sizeof text - 1, &keysym, nullptr);
      if (IsModifierKey(keysym)) continue;
      if (n > 0)
        print_text(text, n, stamp);
      else if (keysym == NoSymbol && stamp)
        printf("%lld none %u\n", now_us(), e.xkey.keycode);
      else if (keysym == NoSymbol)
        printf("none %u\n", e.xkey.keycode);
    }
    if (asked) printf("drained\n");
    asked = false;
    fflush(stdout);
    if (poll(fds, 2, -1) < 0) continue;
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      char c;
      if (read(0, &c, 1) <= 0) break;
      asked = c == '?';
      // As an application's next request would: the server answers it only after the events it
      // had made for this client by then, which the reply brings in ahead of it.
      if (asked) XSync(d, False);
    }
  }
  XCloseDisplay(d);
  return 0;
}
