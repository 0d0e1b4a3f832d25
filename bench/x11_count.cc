// Counts what reaches an X server while a sender runs, and checks that all of it arrived in order.
//   x11_count rate WORKLOAD INPUT -- COMMAND [ARG...]   run COMMAND with INPUT as its standard input
//   x11_count latency HIDPIPE N                         write-to-arrival time of N single moves
//   x11_count text hidpipe|xdotool PROGRAM              1,000 characters of mixed text, a third off
//                                                        the layout (200 distinct), typed into an
//                                                        application: "characters chars/s right"
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
    case relative: return e.type == x_motion && e.x == relative_x(i) && e.y == 1;
    case keys: return e.type == (i % 2 == 0 ? x_key_press : x_key_release) && e.detail == key_a;
    default: return e.type == (i % 2 == 0 ? x_button_press : x_button_release) && e.detail == wheel_down;
  }
}

// The workload's own events among those observed (a move to the scroll position is not counted).
bool counted(workload_kind w, const x_event &e) {
  switch (w) {
    case moves:
    case relative: return e.type == x_motion;
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

// The text: two thirds letters and spaces, a third of 200 characters no US key types, mixed in a
// fixed order so that every run types the same.
std::vector<unsigned> mixed_text() {
  std::vector<unsigned> text;
  uint32_t state = 12345;
  for (int i = 0; i < 1000; i++) {
    state = state * 1103515245u + 12345u;
    unsigned pick = (state >> 16) % 300;
    if (i % 3 == 2)
      text.push_back(0x4e00 + 11 * ((static_cast<unsigned>(i) / 3) % 200));  // 200 distinct
    else
      text.push_back(pick % 7 == 0 ? ' ' : 'a' + pick % 26);
  }
  return text;
}

std::string utf8(unsigned c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

// How many of sent arrived, in order: the longest common subsequence.
size_t arrived_right(const std::vector<unsigned> &sent, const std::vector<unsigned> &got) {
  std::vector<size_t> row(got.size() + 1, 0), next(got.size() + 1, 0);
  for (unsigned c : sent) {
    for (size_t j = 0; j < got.size(); j++)
      next[j + 1] = c == got[j] ? row[j] + 1 : std::max(next[j], row[j + 1]);
    row.swap(next);
  }
  return row[got.size()];
}

int text(const std::string &sender, const char *program) {
  const char *display = getenv("DISPLAY");
  if (!observe_start(display != nullptr ? display : "")) return 2;
  x11_reader app;
  if (!app.start(display)) return 2;
  std::vector<unsigned> sent = mixed_text();
  // hidpipe's T lines of whole characters, at most 93 bytes each; xdotool's text in one piece.
  char path[] = "/tmp/x11-text-XXXXXX";
  int fd = mkstemp(path);
  std::string input, line;
  for (unsigned c : sent) {
    std::string u = utf8(c);
    if (sender == "hidpipe" && line.size() + u.size() > 93) {
      input += "T " + line + "\n";
      line.clear();
    }
    line += u;
  }
  input += sender == "hidpipe" ? "T " + line + "\n" : line;
  if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) return 2;
  close(fd);
  auto begin = clock_type::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(path, O_RDONLY);
    dup2(in, 0);
    unsetenv("HIDPIPE_SIM_LOG");
    if (sender == "hidpipe")
      execl(program, "hidpipe", static_cast<char *>(nullptr));
    else
      execlp(program, "xdotool", "type", "--delay", "0", "--file", path, static_cast<char *>(nullptr));
    _exit(127);
  }
  std::vector<unsigned> got;
  auto last = begin;
  for (auto quiet = clock_type::now();
       got.size() < sent.size() && clock_type::now() - quiet < std::chrono::seconds(3);) {
    std::vector<unsigned> more = app.take(sent.size() - got.size(), 200);
    if (more.empty()) continue;
    got.insert(got.end(), more.begin(), more.end());
    last = quiet = clock_type::now();
  }
  waitpid(pid, nullptr, 0);
  unlink(path);
  app.stop();
  observe_stop();
  double seconds = std::chrono::duration<double>(last - begin).count();
  printf("%zu %.0f %zu\n", got.size(), static_cast<double>(sent.size()) / seconds, arrived_right(sent, got));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "rate" && argc > 5 && std::string(argv[4]) == "--" && workload_of(argv[2]) != no_workload)
    return rate(workload_of(argv[2]), argv[3], argv + 5);
  if (mode == "latency" && argc > 3) return latency(argv[2], atoi(argv[3]));
  if (mode == "text" && argc > 3) return text(argv[2], argv[3]);
  fprintf(stderr,
          "usage: x11_count rate moves|keys|wheel|relative INPUT -- COMMAND... | latency HIDPIPE N | text "
          "hidpipe|xdotool PROGRAM\n");
  return 2;
}
