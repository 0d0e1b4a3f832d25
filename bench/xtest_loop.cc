// The practical ceiling for the X11 benchmark: posts a workload's events straight through XTEST,
// one flush per event, with nothing else to do.
//   xtest_loop moves|keys|wheel
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdio>

#include "x11_workload.h"

int main(int argc, char **argv) {
  workload_kind w = argc > 1 ? workload_of(argv[1]) : no_workload;
  Display *d = XOpenDisplay(nullptr);
  if (w == no_workload || d == nullptr) {
    fprintf(stderr, "usage: xtest_loop moves|keys|wheel, with DISPLAY set\n");
    return 2;
  }
  for (int i = 0; i < workload_events; i++) {
    switch (w) {
      case moves: XTestFakeMotionEvent(d, -1, move_x(i), move_y(i), CurrentTime); break;
      case keys: XTestFakeKeyEvent(d, key_a, i % 2 == 0 ? True : False, CurrentTime); break;
      default: XTestFakeButtonEvent(d, wheel_down, i % 2 == 0 ? True : False, CurrentTime); break;
    }
    XFlush(d);
  }
  XCloseDisplay(d);
  return 0;
}
