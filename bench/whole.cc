// Whole-process measurements of hidpipe, each against a floor measured in the same run.
//   whole throughput FILE RUNS PROGRAM...  median wall time of each program reading FILE on stdin
//   whole latency HIDPIPE COMMANDS         write-to-posted time of single commands
//   whole startup RUNS PROGRAM...          median wall time of each program with stdin /dev/null
//   whole uinput MOVES_FILE RUNS INTERPOSER HIDPIPE LOOP MOVES
//                                          hidpipe's uinput backend against a bare loop
//   whole sync HIDPIPE ROUNDS BACKEND [INTERPOSER]
//                                          S answered, alone and after a move, in lock step,
//                                          through BACKEND (uinput over INTERPOSER)
//   whole pause HIDPIPE COUNT MS           the error of COUNT pauses of MS
// Programs run with the event log off unless stated. Times are printed in microseconds.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lockstep.h"

namespace {

using clock_type = std::chrono::steady_clock;

double micros(clock_type::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::lround(p * static_cast<double>(v.size() - 1)));
  return v[i];
}

// Runs program (with one argument, or none) with stdin_path as its standard input and the log off;
// returns its wall time. With uinput set, the program runs over that interposer for /dev/uinput and
// hidpipe posts through the uinput backend.
double run_once(const char *program, const char *stdin_path, const char *arg = nullptr,
                const char *uinput = nullptr) {
  auto begin = clock_type::now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(stdin_path, O_RDONLY);
    dup2(in, 0);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    unsetenv("HIDPIPE_SIM_LOG");
    setenv("HIDPIPE_BACKEND", "none", 1);  // hidpipe's own cost is measured, no desktop's
    if (uinput != nullptr) {
      setenv("LD_PRELOAD", uinput, 1);
      setenv("HIDPIPE_BACKEND", "uinput", 1);
      setenv("HIDPIPE_SCREEN", "4096x4096", 1);
      setenv("HIDPIPE_UINPUT_SETTLE_MS", "0", 1);
    }
    execl(program, program, arg, static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double t = micros(clock_type::now() - begin);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed\n", program);
    exit(1);
  }
  return t;
}

// Runs each program runs times, interleaved so that the machine's drift affects all alike, and
// prints the median wall time of each.
int medians(const char *input, int runs, char **programs, int count) {
  std::vector<std::vector<double>> times(static_cast<size_t>(count));
  for (int r = 0; r < runs; r++)
    for (int i = 0; i < count; i++) times[static_cast<size_t>(i)].push_back(run_once(programs[i], input));
  for (int i = 0; i < count; i++)
    printf("%s %.1f\n", programs[i], percentile(times[static_cast<size_t>(i)], 0.5));
  return 0;
}

// hidpipe through the uinput backend reading moves from a file, against the bare loop writing the
// same frames, both over the interposer: the median wall time of each.
int uinput_rate(const char *moves_file, int runs, const char *fake, const char *hidpipe, const char *loop,
                const char *count) {
  std::vector<double> ours, bare;
  for (int r = 0; r < runs; r++) {
    ours.push_back(run_once(hidpipe, moves_file, nullptr, fake));
    bare.push_back(run_once(loop, "/dev/null", count, fake));
  }
  printf("hidpipe %.1f\nloop %.1f\n", percentile(ours, 0.5), percentile(bare, 0.5));
  return 0;
}

void write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) exit(1);
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Writes commands one at a time into hidpipe's standard input and waits for each one's event line
// on the log pipe. Every command posts exactly one event.
int latency(const char *binary, int commands) {
  int in[2], log[2];
  if (pipe(in) != 0 || pipe(log) != 0) return 1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(log[1], 3);
    close(in[1]);
    close(log[0]);
    setenv("HIDPIPE_SIM_LOG", "/dev/fd/3", 1);
    setenv("HIDPIPE_BACKEND", "none", 1);
    execl(binary, "hidpipe", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(log[1]);
  std::vector<double> times;
  char buf[4096];
  for (int i = 0; i < commands; i++) {
    char line[64];
    // A move, a key press, its release: one event each.
    int n = i % 3 == 0 ? snprintf(line, sizeof line, "M %d %d\n", i % 1000, i % 700)
                       : snprintf(line, sizeof line, "K KeyA %d\n", i % 3 == 1 ? 1 : 0);
    auto begin = clock_type::now();
    write_all(in[1], line, static_cast<size_t>(n));
    for (bool seen = false; !seen;) {
      ssize_t got = read(log[0], buf, sizeof buf);
      if (got <= 0) return 1;
      seen = memchr(buf, '\n', static_cast<size_t>(got)) != nullptr;
    }
    times.push_back(micros(clock_type::now() - begin));
  }
  close(in[1]);
  while (read(log[0], buf, sizeof buf) > 0) {
  }
  waitpid(pid, nullptr, 0);
  printf("median %.1f\np99 %.1f\n", percentile(times, 0.5), percentile(times, 0.99));
  return 0;
}

// Starts hidpipe through backend with pipes for its standard input and output, the log off.
pid_t start_piped(const char *binary, const char *backend, const char *uinput, int *in,
                  lockstep::reader *out) {
  int input[2], output[2];
  if (pipe(input) != 0 || pipe(output) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], 0);
    dup2(output[1], 1);
    close(input[1]);
    close(output[0]);
    unsetenv("HIDPIPE_SIM_LOG");
    setenv("HIDPIPE_BACKEND", backend, 1);
    if (uinput != nullptr) {
      setenv("LD_PRELOAD", uinput, 1);
      setenv("HIDPIPE_SCREEN", "4096x4096", 1);
    }
    execl(binary, "hidpipe", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  *in = input[1];
  out->fd = output[0];
  return pid;
}

int piped(const char *binary, const char *backend, const char *uinput, int count, int ms) {
  int in = -1;
  lockstep::reader out{-1, {}};
  pid_t pid = start_piped(binary, backend, uinput, &in, &out);
  if (pid < 0) return 1;
  bool ok = ms < 0 ? lockstep::report(in, out, count) : lockstep::pauses(in, out, count, ms);
  close(in);
  close(out.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "throughput" && argc > 4) return medians(argv[2], atoi(argv[3]), argv + 4, argc - 4);
  if (what == "startup" && argc > 3) return medians("/dev/null", atoi(argv[2]), argv + 3, argc - 3);
  if (what == "latency" && argc > 3) return latency(argv[2], atoi(argv[3]));
  if (what == "sync" && argc > 4)
    return piped(argv[2], argv[4], argc > 5 ? argv[5] : nullptr, atoi(argv[3]), -1);
  if (what == "pause" && argc > 4) return piped(argv[2], "none", nullptr, atoi(argv[3]), atoi(argv[4]));
  if (what == "uinput" && argc > 7)
    return uinput_rate(argv[2], atoi(argv[3]), argv[4], argv[5], argv[6], argv[7]);
  fprintf(stderr,
          "usage: whole throughput FILE RUNS PROGRAM... | startup RUNS PROGRAM... | latency HIDPIPE N\n"
          "       whole uinput MOVES_FILE RUNS INTERPOSER HIDPIPE LOOP MOVES\n"
          "       whole sync HIDPIPE ROUNDS BACKEND [INTERPOSER] | pause HIDPIPE COUNT MS\n");
  return 2;
}
