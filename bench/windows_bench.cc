// hidpipe.exe against the bare SendInput loop (sendinput_loop.exe), each event counted on arrival
// at the observer window's hooks: 2,000 moves and 1,000 key taps (2,000 key events). Then
// hidpipe's write-to-arrival latency over 1,000 single moves, and S: written to its reply read,
// 2,000 alone, then 2,000 moves in lock step (M, S, wait for the reply).
//   windows_bench HIDPIPE OBSERVER LOOP RUNS
// Prints "workload sender events events/s lost" lines, medians of RUNS runs, then
// "latency MEDIAN P99" in microseconds, "roundtrip MEDIAN P99" and "lockstep MOVES_PER_SECOND".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "session.h"

namespace {

constexpr int moves = 2000;
constexpr int taps = 1000;

// Microseconds of a monotonic clock (the performance counter, beneath).
double now_us() {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct measured {
  int events;
  double rate;
};

// One run: the sender's events, counted once the observer has them all (its sync orders them).
measured run_once(observer &o, const std::string &kind, const std::string &command_line,
                  const std::string &input) {
  o.sync();
  double begin = now_us();
  child c;
  if (!c.start(command_line)) return {0, 0};
  c.write(input);
  c.close_input();
  c.wait();
  int events = 0;
  for (const std::string &line : o.sync())
    if (line.rfind(kind == "moves" ? "move " : "key ", 0) == 0) events++;
  return {events, events / ((now_us() - begin) / 1e6)};
}

void report(observer &o, const std::string &kind, const std::string &name, const std::string &command_line,
            const std::string &input, int runs) {
  std::vector<measured> all;
  all.reserve(static_cast<size_t>(runs));
  for (int r = 0; r < runs; r++) all.push_back(run_once(o, kind, command_line, input));
  std::sort(all.begin(), all.end(), [](const measured &a, const measured &b) { return a.rate < b.rate; });
  int expected = kind == "moves" ? moves : 2 * taps, lost = 0;
  for (const measured &m : all) lost = std::max(lost, expected - m.events);
  printf("%s %s %d %.0f %d\n", kind.c_str(), name.c_str(), all[all.size() / 2].events,
         all[all.size() / 2].rate, lost);
  fflush(stdout);
}

void latency(observer &o, const std::string &hidpipe, int n) {
  o.sync();
  child h;
  if (!h.start(quoted(hidpipe))) return;
  std::vector<double> times;
  std::string line;
  for (int i = 0; i < n; i++) {
    std::string command = "M " + std::to_string(100 + i % 500) + " " + std::to_string(100 + i % 2) + "\n";
    double begin = now_us();
    h.write(command);
    bool seen = false;
    while (!seen && o.next(&line, 2000)) seen = line.rfind("move ", 0) == 0;
    if (!seen) break;
    times.push_back(now_us() - begin);
  }
  h.close_input();
  h.wait();
  if (times.empty()) return;
  std::sort(times.begin(), times.end());
  printf("latency %.1f %.1f\n", times[times.size() / 2], times[times.size() * 99 / 100]);
}

// Each round's time in microseconds: "S i" alone, or after "M x y" with after_moves.
std::vector<double> sync_rounds(child &h, int n, bool after_moves) {
  std::vector<double> times;
  std::string line;
  for (int i = 0; i < n; i++) {
    std::string token = "S " + std::to_string(i);
    std::string lines;
    if (after_moves) lines = "M " + std::to_string(100 + i % 500) + " 100\n";
    lines += token;
    lines += '\n';
    double begin = now_us();
    h.write(lines);
    bool seen = false;
    while (!seen && h.line(&line, 5000)) seen = line == token;
    if (!seen) break;
    times.push_back(now_us() - begin);
  }
  return times;
}

void sync_figures(observer &o, const std::string &hidpipe, int n) {
  o.sync();
  child h;
  if (!h.start(quoted(hidpipe))) return;
  std::vector<double> alone = sync_rounds(h, n, false), locked = sync_rounds(h, n, true);
  h.close_input();
  h.wait();
  o.sync();
  if (alone.size() != static_cast<size_t>(n) || locked.size() != static_cast<size_t>(n)) return;
  double total = 0;
  for (double t : locked) total += t;
  std::sort(alone.begin(), alone.end());
  printf("roundtrip %.1f %.1f\nlockstep %.0f\n", alone[alone.size() / 2], alone[alone.size() * 99 / 100],
         1e6 * n / total);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: windows_bench HIDPIPE OBSERVER LOOP RUNS\n");
    return 2;
  }
  std::string hidpipe = argv[1], loop = argv[3];
  int runs = atoi(argv[4]);
  observer o;
  if (!o.start(argv[2])) {
    fprintf(stderr, "windows_bench: the observer did not come up\n");
    return 2;
  }
  std::string move_input, key_input;
  for (int i = 0; i < moves; i++)
    move_input += "M " + std::to_string(1 + i % 1000) + " " + std::to_string(1 + i / 1000 % 700) + "\n";
  for (int i = 0; i < taps; i++) key_input += "K KeyA 1\nK KeyA 0\n";
  report(o, "moves", "ceiling", quoted(loop) + " moves " + std::to_string(moves), "", runs);
  report(o, "moves", "hidpipe", quoted(hidpipe), move_input, runs);
  report(o, "keys", "ceiling", quoted(loop) + " keys " + std::to_string(taps), "", runs);
  report(o, "keys", "hidpipe", quoted(hidpipe), key_input, runs);
  latency(o, hidpipe, 1000);
  sync_figures(o, hidpipe, 2000);
  return 0;
}
