// Counts what reaches an X server while a sender runs, and checks that all of it arrived in order.
//   x11_count rate WORKLOAD INPUT -- COMMAND [ARG...]   run COMMAND with INPUT as its standard input
//   x11_count latency HIDPIPE N                         write-to-arrival time of N single moves
// DISPLAY names the server. The pointer is first put at (1, 1).
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "x11_observer.h"
#include "x11_workload.h"

namespace {

using clock_type = std::chrono::steady_clock;

void pointer_home() {
  Display *d = XOpenDisplay(nullptr);
  if (d == nullptr) exit(2);
  XTestFakeMotionEvent(d, -1, 1, 1, CurrentTime);
  XSync(d, False);
  XCloseDisplay(d);
}

// Whether e is the i-th event the workload makes arrive.
bool expected(workload_kind w, int i, const x_event &e) {
  switch (w) {
    case moves: return e.type == x_motion && e.x == move_x(i) && e.y == move_y(i);
    case keys: return e.type == (i % 2 == 0 ? x_key_press : x_key_release) && e.detail == key_a;
    default: return e.type == (i % 2 == 0 ? x_button_press : x_button_release) && e.detail == wheel_down;
  }
}

// The workload's own events among those observed (a move to the scroll position is not counted).
bool counted(workload_kind w, const x_event &e) {
  switch (w) {
    case moves: return e.type == x_motion;
    case keys: return e.type == x_key_press || e.type == x_key_release;
    default: return e.type == x_button_press || e.type == x_button_release;
  }
}

pid_t spawn(char **argv, const char *input) {
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(input, O_RDONLY);
    dup2(in, 0);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    unsetenv("HIDPIPE_SIM_LOG");
    execvp(argv[0], argv);
    _exit(127);
  }
  return pid;
}

int rate(workload_kind w, const char *input, char **argv) {
  pointer_home();
  if (!observe_start(getenv("DISPLAY") != nullptr ? getenv("DISPLAY") : "")) return 2;
  auto begin = clock_type::now();
  pid_t pid = spawn(argv, input);
  std::vector<x_event> got;
  auto last = begin;
  // Until every event has come, or none has for two seconds.
  while (static_cast<int>(got.size()) < workload_events) {
    std::vector<x_event> more = observe_take(workload_events, 2000);
    for (const x_event &e : more)
      if (counted(w, e)) got.push_back(e);
    if (more.empty()) break;
    last = clock_type::now();
  }
  int status = 0;
  waitpid(pid, &status, 0);
  observe_stop();
  int in_order = 0;
  while (in_order < static_cast<int>(got.size()) && expected(w, in_order, got[static_cast<size_t>(in_order)]))
    in_order++;
  double seconds = std::chrono::duration<double>(last - begin).count();
  printf("%d %.0f %d %d\n", static_cast<int>(got.size()), static_cast<double>(got.size()) / seconds,
         workload_events - static_cast<int>(got.size()), in_order == static_cast<int>(got.size()) ? 0 : 1);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int latency(const char *binary, int n) {
  pointer_home();
  if (!observe_start(getenv("DISPLAY") != nullptr ? getenv("DISPLAY") : "")) return 2;
  int in[2];
  if (pipe(in) != 0) return 2;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    close(in[1]);
    unsetenv("HIDPIPE_SIM_LOG");
    execl(binary, "hidpipe", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(in[0]);
  std::vector<double> times;
  for (int i = 0; i < n; i++) {
    char line[32];
    int len = snprintf(line, sizeof line, "M %d %d\n", move_x(i), move_y(i));
    auto begin = clock_type::now();
    if (write(in[1], line, static_cast<size_t>(len)) != len) return 2;
    if (observe_take(1, 1000, true).empty()) return 1;
    times.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - begin).count());
  }
  close(in[1]);
  waitpid(pid, nullptr, 0);
  observe_stop();
  std::sort(times.begin(), times.end());
  auto at = [&](double p) { return times[static_cast<size_t>(std::lround(p * static_cast<double>(n - 1)))]; };
  printf("%.1f %.1f\n", at(0.5), at(0.99));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "rate" && argc > 5 && std::string(argv[4]) == "--" && workload_of(argv[2]) != no_workload)
    return rate(workload_of(argv[2]), argv[3], argv + 5);
  if (mode == "latency" && argc > 3) return latency(argv[2], atoi(argv[3]));
  fprintf(stderr, "usage: x11_count rate moves|keys|wheel INPUT -- COMMAND... | latency HIDPIPE N\n");
  return 2;
}
