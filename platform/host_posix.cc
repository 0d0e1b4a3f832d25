// The host beneath the portable platform on POSIX systems (Linux, macOS): the monotonic clock and
// the event log's file.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iterator>

#include "host.h"

uint64_t host_clock_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {

// The descriptor that a path names as such (/dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N), or -1 for any other path.
int named_descriptor(const char *path) {
  static const char *const streams[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
  for (int fd = 0; fd < 3; fd++)
    if (strcmp(path, streams[fd]) == 0) return fd;
  const char *digits = nullptr;
  if (strncmp(path, "/dev/fd/", 8) == 0) digits = path + 8;
  if (strncmp(path, "/proc/self/fd/", 14) == 0) digits = path + 14;
  if (digits == nullptr || *digits < '0' || *digits > '9') return -1;
  char *end = nullptr;
  long n = strtol(digits, &end, 10);
  return *end == '\0' && n < 65536 ? static_cast<int>(n) : -1;
}

bool same_file(const struct stat &a, int fd) {
  struct stat b = {};
  return fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int host_open_log(const char *path, char *error, size_t size) {
  // A reader of the log that goes away ends the log, not the process.
  signal(SIGPIPE, SIG_IGN);
  int named = named_descriptor(path);
  // A FIFO is opened without waiting for a reader: with none, open would wait for ever.
  struct stat before = {};
  bool fifo = named < 0 && stat(path, &before) == 0 && S_ISFIFO(before.st_mode);
  int fd = named >= 0 ? fcntl(named, F_DUPFD_CLOEXEC, 3)
                      : open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (fifo ? O_NONBLOCK : 0), 0644);
  struct stat st = {};
  const char *why = nullptr;
  if (fd < 0 && fifo && errno == ENXIO) {
    why = "no process reads the FIFO";
  } else if (fd < 0 || fstat(fd, &st) != 0) {
    why = strerror(errno);
  } else if ((S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) && same_file(st, 0)) {
    why = "it is hidpipe's own standard input";
  } else if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {
    why = "it is not open for writing";
  }
  if (why != nullptr) {
    if (fd >= 0) close(fd);
    snprintf(error, size, "cannot open the event log \"%s\": %s", path, why);
    return -1;
  }
  // The reader is there: writes may wait for it as for any log.
  if (fifo) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (named < 0 && S_ISREG(st.st_mode)) {
    for (int stream : {1, 2}) {
      if (!same_file(st, stream)) continue;
      close(fd);
      return fcntl(stream, F_DUPFD_CLOEXEC, 3);
    }
    if (ftruncate(fd, 0) != 0) {
      snprintf(error, size, "cannot empty the event log \"%s\": %s", path, strerror(errno));
      close(fd);
      return -1;
    }
  }
  return fd;
}

namespace {

volatile sig_atomic_t stop_sig;      // the stop signal that arrived, or 0
volatile sig_atomic_t wake_fd = -1;  // the self-pipe's writing end, once made
int wake_read = -1;                  // its reading end
uint64_t grace_until;                // the ending's deadline in host_clock_ns, or 0 before it
// The guards in force, innermost last; the timer runs for the earliest.
struct guard {
  uint64_t until;  // in host_clock_ns
  char why[256];   // what it says when it fires
};
guard guards[4];
int guard_count;
char guard_why[256];   // what the guard that fires says: the earliest's
void (*last_words)();  // what the guard does before it ends the process, or null

void make_wake_pipe() {
  if (wake_read >= 0) return;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  wake_read = fds[0];
  wake_fd = fds[1];
}

// The guard's expiry: the library never returned. Async-signal-safe.
void on_guard(int /*sig*/) {
  if (host_verbose && guard_why[0] != '\0') {
    const char *parts[] = {"hidpipe: ", guard_why, "\n"};
    for (const char *part : parts)
      if (write(2, part, strlen(part)) < 0) break;
  }
  if (last_words != nullptr) last_words();
  int sig = stop_sig;
  if (sig != 0) {
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
  }
  _exit(1);
}

}  // namespace

bool host_verbose;

void host_stop(int sig) {
  if (stop_sig == 0) stop_sig = sig;
  int fd = wake_fd;
  char byte = 1;
  if (fd >= 0 && write(fd, &byte, 1) < 0) {
  }
}

int host_stop_signal() { return stop_sig; }

void host_grace(unsigned ms) {
  if (grace_until == 0) grace_until = host_clock_ns() + uint64_t{ms} * 1000000u;
}

void host_begin() { grace_until = 0; }

bool host_ending() { return grace_until != 0; }

host_wake host_wait(int fd, short events, unsigned timeout_ms) {
  make_wake_pipe();
  uint64_t until = host_clock_ns() + uint64_t{timeout_ms} * 1000000u;
  if (grace_until != 0 && grace_until < until) until = grace_until;
  for (;;) {
    if (stop_sig != 0 && grace_until == 0) return host_stopped;
    uint64_t now = host_clock_ns();
    if (now >= until) return host_timed_out;
    // The stop's byte stays in the pipe until the ending, so that every wait before it sees it.
    pollfd p[2] = {{fd, events, 0}, {grace_until == 0 ? wake_read : -1, POLLIN, 0}};
    int ms = static_cast<int>((until - now + 999999) / 1000000);
    int n = poll(p, 2, ms);
    if (n < 0 && errno != EINTR) return host_timed_out;
    if (n > 0 && fd >= 0 && p[0].revents != 0) return host_ready;
  }
}

long host_write(int fd, const void *p, size_t n, unsigned ms) {
  switch (host_wait(fd, POLLOUT, ms)) {
    case host_ready: break;
    case host_stopped: errno = EINTR; return -1;
    case host_timed_out: errno = ETIMEDOUT; return -1;
  }
  // Room for PIPE_BUF bytes is what a pipe that polls writable has: no more, or the write would wait.
  return write(fd, p, n < PIPE_BUF ? n : PIPE_BUF);
}

bool host_sleep(unsigned ms) {
  uint64_t until = host_clock_ns() + uint64_t{ms} * 1000000u;
  return host_wait(-1, 0, ms) == host_timed_out && host_clock_ns() >= until;
}

namespace {

// Runs the timer for the earliest guard, or stops it.
void arm_guards() {
  itimerval t = {};
  int earliest = -1;
  for (int i = 0; i < guard_count; i++)
    if (earliest < 0 || guards[i].until < guards[earliest].until) earliest = i;
  if (earliest >= 0) {
    // The handler reads the text it writes from here, set before the timer runs.
    memcpy(guard_why, guards[earliest].why, sizeof guard_why);
    uint64_t now = host_clock_ns(), until = guards[earliest].until;
    uint64_t us = until > now ? (until - now) / 1000 : 1;
    t.it_value.tv_sec = static_cast<time_t>(us / 1000000);
    t.it_value.tv_usec = static_cast<suseconds_t>(us % 1000000 == 0 && us < 1000000 ? 1 : us % 1000000);
  }
  setitimer(ITIMER_REAL, &t, nullptr);
}

}  // namespace

void host_guard(unsigned ms, const char *why) {
  if (guard_count == 0) {
    struct sigaction action = {};
    action.sa_handler = on_guard;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
  }
  if (guard_count == static_cast<int>(std::size(guards))) return;
  guard &g = guards[guard_count++];
  g.until = host_clock_ns() + uint64_t{ms} * 1000000u;
  snprintf(g.why, sizeof g.why, "%s", why != nullptr ? why : "");
  arm_guards();
}

void host_unguard() {
  if (guard_count > 0) guard_count--;
  arm_guards();
}

void host_last_words(void (*release)()) { last_words = release; }
