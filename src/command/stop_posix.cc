#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "command/stop.h"
#include "emit/platform.h"

volatile sig_atomic_t stop_signal;

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t watched = -1;  // the input descriptor the handler ends, or -1
int emptiness = -1;                  // /dev/null, opened in advance: a handler may not open files

void on_stop(int sig) {
  int saved = errno;
  if (stop_signal == 0) stop_signal = sig;
  // Waits for the window system end too, so that the releases are sent at once.
  host_stop(sig);
  // A read already waiting is interrupted (no SA_RESTART); one that starts after the loop's last
  // look finds the input at its end. dup2 is async-signal-safe; fd 0 is this process's own.
  if (watched >= 0 && emptiness >= 0) {
    dup2(emptiness, watched);
  } else if (watched >= 0) {
    // Without /dev/null, a closed input ends the read as surely; once only.
    close(watched);
    watched = -1;
  }
  errno = saved;
}

}  // namespace

void catch_stop_signals(int input_fd) {
  watched = input_fd;
  emptiness = open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct sigaction action = {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocked read must return so that the loop notices.
  action.sa_flags = 0;
  for (int sig : stop_signals) {
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}

namespace {

// Waits ms milliseconds against a deadline on the monotonic clock, or until fd (when not -1) can be
// written; a stop signal ends the wait at once. The stop signals are held back while the flag is
// looked at, and let in by pselect itself, so that one arriving between the two still ends the
// wait.
room wait_until(int fd, unsigned ms, bool reading = false) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t until = now.tv_sec * 1000000000LL + now.tv_nsec + int64_t{ms} * 1000000;
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int sig : stop_signals) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &before);
  room r = room_timeout;
  for (;;) {
    if (stop_signal != 0) {
      r = room_stopped;
      break;
    }
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t left = until - (now.tv_sec * 1000000000LL + now.tv_nsec);
    if (left <= 0) break;
    timespec wait = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    fd_set ready;
    FD_ZERO(&ready);
    if (fd >= 0) FD_SET(fd, &ready);
    fd_set *watch = fd >= 0 ? &ready : nullptr;
    int n = pselect(fd + 1, reading ? watch : nullptr, reading ? nullptr : watch, nullptr, &wait, &before);
    // An error on fd (a reader gone, fd closed) shows as writable or as a failed wait: the write
    // then says what it is.
    if (fd >= 0 && (n > 0 || (n < 0 && errno != EINTR))) {
      r = room_ready;
      break;
    }
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return r;
}

}  // namespace

// The handler's interruption and its emptied input end a waiting read here.
long read_input(int fd, char *buffer, unsigned n) {
  for (;;) {
    long got = read(fd, buffer, n);
    // An input that another user of it made non-blocking says "nothing yet": a wait for input,
    // never its end.
    if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || fd >= FD_SETSIZE) return got;
    if (wait_until(fd, 60000, true) == room_stopped) {
      errno = EINTR;
      return -1;
    }
  }
}

bool pause_for(unsigned ms) { return wait_until(-1, ms) != room_stopped; }

long write_within(int fd, const char *p, unsigned n, unsigned ms, room *r) {
  // A write to a full pipe would wait for as long as its reader does not read: room first.
  *r = fd < 0 || fd >= FD_SETSIZE ? room_ready : wait_until(fd, ms);
  return *r == room_ready ? write(fd, p, n) : -1;
}

void die_by(int sig) {
  signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  // Not reached for the stop signals, whose default action ends the process.
  _exit(128 + sig);
}

void prepare_streams(int /*input_fd*/, bool /*diagnostics*/) {
  // A reader of the replies or diagnostics that goes away must not end the session with keys held.
  signal(SIGPIPE, SIG_IGN);
}

bool output_was_closed;

void fill_standard_streams() {
  for (int fd = 0; fd < 3; fd++) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    if (fd == 1) output_was_closed = true;
    // The lowest free descriptor is this one.
    int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}
