// The host beneath the portable platform on Windows: the performance counter as the clock, and
// the event log's file, written as bytes.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "host.h"

uint64_t host_clock_ns() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  auto ticks = static_cast<uint64_t>(now.QuadPart), hz = static_cast<uint64_t>(frequency.QuadPart);
  return ticks / hz * 1000000000u + ticks % hz * 1000000000u / hz;
}

namespace {

// The system's handle behind a C runtime descriptor, which the runtime hands out as an integer.
HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));  // NOLINT(performance-no-int-to-ptr)
}

// Whether descriptor fd is open on the same file as handle h (same volume, same file index).
bool same_file(HANDLE h, int fd) {
  HANDLE other = handle_of(fd);
  BY_HANDLE_FILE_INFORMATION a{}, b{};
  return other != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &a) &&
         GetFileInformationByHandle(other, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

int host_open_log(const char *path, char *error, size_t size) {
  // The standard streams by the names the other systems give them.
  static const char *const streams[] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
  for (int stream = 0; stream < 3; stream++) {
    if (strcmp(path, streams[stream]) != 0) continue;
    int fd = stream == 0 ? -1 : _dup(stream);
    if (fd >= 0) {
      _setmode(fd, _O_BINARY);
      return fd;
    }
    snprintf(error, size, "cannot open the event log \"%s\": %s", path,
             stream == 0 ? "it is hidpipe's own standard input" : strerror(errno));
    return -1;
  }
  int fd = _open(path, _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  const char *why = fd < 0 ? strerror(errno) : nullptr;
  HANDLE h = fd >= 0 ? handle_of(fd) : INVALID_HANDLE_VALUE;
  if (why == nullptr && same_file(h, 0)) why = "it is hidpipe's own standard input";
  if (why != nullptr) {
    if (fd >= 0) _close(fd);
    snprintf(error, size, "cannot open the event log \"%s\": %s", path, why);
    return -1;
  }
  // A file that is standard output or error continues where they write rather than lose what
  // is there.
  for (int stream : {1, 2}) {
    if (!same_file(h, stream)) continue;
    _close(fd);
    fd = _dup(stream);
    if (fd >= 0) _setmode(fd, _O_BINARY);
    return fd;
  }
  if (_chsize_s(fd, 0) != 0) {
    snprintf(error, size, "cannot empty the event log \"%s\": %s", path, strerror(errno));
    _close(fd);
    return -1;
  }
  return fd;
}

namespace {

volatile LONG stop_sig;  // the stop signal that arrived, or 0
ULONGLONG grace_until;   // the ending's deadline in GetTickCount64's milliseconds, or 0

}  // namespace

bool host_verbose;

void host_stop(int sig) { InterlockedCompareExchange(&stop_sig, sig, 0); }
int host_stop_signal() { return static_cast<int>(stop_sig); }

void host_grace(unsigned ms) {
  if (grace_until == 0) grace_until = GetTickCount64() + ms;
}

void host_begin() { grace_until = 0; }

bool host_ending() { return grace_until != 0; }

// Windows' backend waits for no descriptor: only the time is waited for, in steps short enough to
// notice a stop.
host_wake host_wait(int /*fd*/, short /*events*/, unsigned timeout_ms) {
  ULONGLONG until = GetTickCount64() + timeout_ms;
  if (grace_until != 0 && grace_until < until) until = grace_until;
  for (;;) {
    if (stop_sig != 0 && grace_until == 0) return host_stopped;
    ULONGLONG now = GetTickCount64();
    if (now >= until) return host_timed_out;
    Sleep(static_cast<DWORD>(until - now < 10 ? until - now : 10));
  }
}

// Standard streams on Windows are files or pipes that WaitForSingleObject cannot wait on for room;
// the log is written as it always was, a gibibyte at a time.
long host_write(int fd, const void *p, size_t n, unsigned /*ms*/) {
  return _write(fd, p, static_cast<unsigned>(n < (size_t{1} << 30) ? n : size_t{1} << 30));
}

bool host_sleep(unsigned ms) {
  ULONGLONG until = GetTickCount64() + ms;
  return host_wait(-1, 0, ms) == host_timed_out && GetTickCount64() >= until;
}

// No library hidpipe calls on Windows waits without a bound.
void host_guard(unsigned /*ms*/, const char * /*why*/) {}
void host_unguard() {}
void host_last_words(void (* /*release*/)()) {}
