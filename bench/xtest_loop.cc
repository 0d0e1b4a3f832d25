// The practical ceiling for the X11 benchmark: posts a workload's events straight through XTEST,
// one flush per event, with nothing else to do; or moves in lock step, each followed by a round
// trip, as a controller waiting for hidpipe's S replies would make them.
//   xtest_loop moves|keys|wheel|relative
//   xtest_loop sync N     N moves, each then XSync; prints "loop MOVES_PER_SECOND"
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "x11_workload.h"

namespace {

int lock_step(Display *d, int count) {
  XSync(d, False);
  auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < count; i++) {
    XTestFakeMotionEvent(d, -1, 100 + i % 1000, 100 + i / 1000 % 500, CurrentTime);
    XSync(d, False);
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  printf("loop %.0f\n", count / s);
  XCloseDisplay(d);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 2 && strcmp(argv[1], "sync") == 0) {
    Display *d = XOpenDisplay(nullptr);
    return d != nullptr ? lock_step(d, atoi(argv[2])) : 2;
  }
  workload_kind w = argc > 1 ? workload_of(argv[1]) : no_workload;
  Display *d = XOpenDisplay(nullptr);
  if (w == no_workload || d == nullptr) {
    fprintf(stderr, "usage: xtest_loop moves|keys|wheel|relative | sync N, with DISPLAY set\n");
    return 2;
  }
  for (int i = 0; i < workload_events; i++) {
    switch (w) {
      case moves: XTestFakeMotionEvent(d, -1, move_x(i), move_y(i), CurrentTime); break;
      case keys: XTestFakeKeyEvent(d, key_a, i % 2 == 0 ? True : False, CurrentTime); break;
      case relative: XTestFakeRelativeMotionEvent(d, relative_dx(i), 0, CurrentTime); break;
      default: XTestFakeButtonEvent(d, wheel_down, i % 2 == 0 ? True : False, CurrentTime); break;
    }
    XFlush(d);
  }
  XCloseDisplay(d);
  return 0;
}
