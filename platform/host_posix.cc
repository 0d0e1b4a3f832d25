// The host beneath the portable platform on POSIX systems (Linux, macOS): the monotonic clock and
// the event log's file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

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
  int fd = named >= 0 ? fcntl(named, F_DUPFD_CLOEXEC, 3)
                      : open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  struct stat st = {};
  const char *why = nullptr;
  if (fd < 0 || fstat(fd, &st) != 0) {
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
