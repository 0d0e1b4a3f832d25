// A controller in lock step with hidpipe, as a test harness drives it: each round writes a line
// and an S, then waits for the S's reply before the next. Also the accuracy of P's pauses.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace lockstep {

using clock_type = std::chrono::steady_clock;

inline double micros(clock_type::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(std::lround(p * static_cast<double>(v.size() - 1)))];
}

// Lines read from hidpipe's standard output, cut at their newlines.
struct reader {
  int fd;
  std::string pending;

  // Waits, at most 5 s for each read, for the line want; lines before it (the log's, if it shares
  // the output) are passed over. False at the end of output or on timeout.
  bool until(const std::string &want) {
    for (;;) {
      for (size_t nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
        bool found = pending.compare(0, nl, want) == 0 && nl == want.size();
        pending.erase(0, nl + 1);
        if (found) return true;
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) return false;
      char buffer[4096];
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) return false;
      pending.append(buffer, static_cast<size_t>(got));
    }
  }
};

inline bool write_all(int fd, const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// Waits for hidpipe to be ready (its first reply), then runs rounds: "S i" alone, or "M x y" and
// "S i" with moves. Returns the time of each round in microseconds; fewer than rounds when hidpipe
// stopped answering.
inline std::vector<double> rounds(int in, reader &out, int count, bool moves) {
  std::vector<double> times;
  if (!write_all(in, "S ready\n") || !out.until("S ready")) return times;
  for (int i = 0; i < count; i++) {
    std::string token = "S " + std::to_string(i);
    std::string lines;
    if (moves)
      lines = "M " + std::to_string(100 + i % 1000) + " " + std::to_string(100 + i / 1000 % 500) + "\n";
    lines += token;
    lines += '\n';
    auto begin = clock_type::now();
    if (!write_all(in, lines) || !out.until(token)) break;
    times.push_back(micros(clock_type::now() - begin));
  }
  return times;
}

// Prints "roundtrip MEDIAN P99" (µs) over count S alone, and "lockstep MOVES_PER_SECOND MEDIAN P99"
// over moves rounds of M and S (count unless given).
inline bool report(int in, reader &out, int count, int moves = 0) {
  if (moves == 0) moves = count;
  std::vector<double> alone = rounds(in, out, count, false);
  std::vector<double> moved = rounds(in, out, moves, true);
  if (alone.size() != static_cast<size_t>(count) || moved.size() != static_cast<size_t>(moves)) return false;
  double total = 0;
  for (double t : moved) total += t;
  printf("roundtrip %.1f %.1f\nlockstep %.0f %.1f %.1f\n", percentile(alone, 0.5), percentile(alone, 0.99),
         1e6 * moves / total, percentile(moved, 0.5), percentile(moved, 0.99));
  return true;
}

// Writes count pauses of ms, each followed by an S, all at once, and stamps each reply as it
// arrives: a pause's error is the time between two replies less ms. Prints "pause MEDIAN LARGEST"
// (µs, the largest by magnitude).
inline bool pauses(int in, reader &out, int count, int ms) {
  if (!write_all(in, "S ready\n") || !out.until("S ready")) return false;
  std::string lines;
  for (int i = 0; i < count; i++) lines += "P " + std::to_string(ms) + "\nS " + std::to_string(i) + "\n";
  auto last = clock_type::now();
  if (!write_all(in, lines)) return false;
  std::vector<double> errors;
  double largest = 0;
  for (int i = 0; i < count; i++) {
    if (!out.until("S " + std::to_string(i))) return false;
    auto now = clock_type::now();
    double error = micros(now - last) - 1000.0 * ms;
    last = now;
    errors.push_back(error);
    if (std::fabs(error) > std::fabs(largest)) largest = error;
  }
  printf("pause %.1f %.1f\n", percentile(errors, 0.5), largest);
  return true;
}

}  // namespace lockstep
