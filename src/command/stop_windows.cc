#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "command/stop.h"
#include "emit/platform.h"

volatile sig_atomic_t stop_signal;

namespace {

HANDLE stopped;      // set by the console handler: a read that waits ends
HANDLE ready;        // set by the reader when chunk holds what it read
HANDLE taken;        // set once chunk has been taken, for the reader to read on
HANDLE reader;       // the thread that reads the input
int reader_fd = -1;  // the input it reads
char chunk[4096];    // what it read last
int chunk_length;    // how much: bytes, or 0 at the end of input, or -1 for an error
int chunk_at;        // how much of it has been taken
bool over;           // the reader has read the end of input (or an error) and is gone

// Reads the input on a thread of its own, so that the main thread waits for its data or for a
// stop, whichever comes first: neither Windows nor Wine reliably cancels a read of a pipe.
DWORD WINAPI read_on(void * /*unused*/) {
  for (;;) {
    chunk_length = _read(reader_fd, chunk, sizeof chunk);
    chunk_at = 0;
    SetEvent(ready);
    if (chunk_length <= 0) return 0;
    WaitForSingleObject(taken, INFINITE);
  }
}

// Windows calls this on a thread of its own. The session ends as on a signal elsewhere: the signal
// is recorded and the main thread's wait for input ends at once; the process ends from the main
// thread (die_by) once it has released everything, while this waits, as returning would let
// Windows end the process for some events at once.
BOOL WINAPI on_console_event(DWORD event) {
  int sig = SIGTERM;  // the console closes, the user logs off, the system shuts down
  if (event == CTRL_C_EVENT) sig = SIGINT;
  if (event == CTRL_BREAK_EVENT) sig = SIGBREAK;
  if (stop_signal == 0) stop_signal = sig;
  host_stop(sig);
  if (stopped != nullptr) SetEvent(stopped);
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void catch_stop_signals(int /*input_fd*/) {
  stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

long read_input(int fd, char *buffer, unsigned n) {
  if (over) return chunk_length;
  if (reader == nullptr) {
    reader_fd = fd;
    ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    taken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    reader = CreateThread(nullptr, 0, read_on, nullptr, 0, nullptr);
    if (reader == nullptr) return _read(fd, buffer, n);
  }
  if (chunk_at == 0) {
    HANDLE either[2] = {ready, stopped};
    DWORD which = WaitForMultipleObjects(stopped != nullptr ? 2 : 1, either, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0) return 0;  // a stop: the input counts as ended
    if (chunk_length <= 0) {
      over = true;
      return chunk_length;
    }
  }
  int rest = chunk_length - chunk_at;
  int m = rest < static_cast<int>(n) ? rest : static_cast<int>(n);
  memcpy(buffer, chunk + chunk_at, static_cast<size_t>(m));
  chunk_at += m;
  if (chunk_at == chunk_length) {
    chunk_at = 0;
    SetEvent(taken);
  }
  return m;
}

// Windows 10 1803's high-resolution timer, which older headers do not name.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x2
#endif

namespace {

// A write made on a thread of its own: a pipe says nothing of its room, and a write to a full one
// waits until its reader reads, which a stop could not end.
struct pending_write {
  int fd;
  char data[128];  // a copy: the caller's buffer may be gone while the write still waits
  unsigned n;
  long result;
  int error;  // errno after it
};
pending_write job;
HANDLE writer;      // the thread that writes
HANDLE write_go;    // set when job holds a write to make
HANDLE write_done;  // set once it is made
bool writer_stuck;  // a write outlived its wait: the thread is never given another

DWORD WINAPI write_on(void * /*unused*/) {
  for (;;) {
    WaitForSingleObject(write_go, INFINITE);
    job.result = _write(job.fd, job.data, job.n);
    job.error = errno;
    SetEvent(write_done);
  }
}

}  // namespace

long write_within(int fd, const char *p, unsigned n, unsigned ms, room *r) {
  *r = stop_signal != 0 ? room_stopped : writer_stuck ? room_timeout : room_ready;
  if (*r != room_ready) return -1;
  if (writer == nullptr) {
    write_go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    write_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    writer = write_go != nullptr && write_done != nullptr
                 ? CreateThread(nullptr, 0, write_on, nullptr, 0, nullptr)
                 : nullptr;
    if (writer == nullptr) return _write(fd, p, n);
  }
  job.fd = fd;
  job.n = n < sizeof job.data ? n : static_cast<unsigned>(sizeof job.data);
  memcpy(job.data, p, job.n);
  SetEvent(write_go);
  HANDLE either[2] = {write_done, stopped};
  DWORD woke = WaitForMultipleObjects(stopped != nullptr ? 2 : 1, either, FALSE, ms);
  if (woke == WAIT_OBJECT_0) {
    errno = job.error;
    return job.result;
  }
  writer_stuck = true;
  *r = woke == WAIT_TIMEOUT ? room_timeout : room_stopped;
  return -1;
}

bool pause_for(unsigned ms) {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  int64_t until = now.QuadPart + static_cast<int64_t>(ms) * frequency.QuadPart / 1000;
  // A high-resolution timer where Windows has one (10 1803 and later), else the ordinary kind.
  HANDLE timer =
      CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (timer == nullptr) timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  for (;;) {
    if (stop_signal != 0) break;
    QueryPerformanceCounter(&now);
    int64_t left = until - now.QuadPart;
    if (left <= 0) break;
    // In 100 ns units, negative for a time relative to now.
    LARGE_INTEGER due;
    due.QuadPart = -(left * 10000000 / frequency.QuadPart + 1);
    if (timer == nullptr || !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
      Sleep(1);
      continue;
    }
    HANDLE either[2] = {timer, stopped};
    WaitForMultipleObjects(stopped != nullptr ? 2 : 1, either, FALSE, INFINITE);
  }
  if (timer != nullptr) CloseHandle(timer);
  return stop_signal == 0;
}

void die_by(int /*sig*/) {
  // What a console program ended by Ctrl+C reports to its parent.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void prepare_streams(int input_fd, bool /*diagnostics*/) {
  // A broken pipe only fails the write here: nothing to ignore. Replies end in a newline alone, as
  // on every system: standard output in text mode would write CR LF.
  _setmode(input_fd, _O_BINARY);
  _setmode(1, _O_BINARY);
}

bool output_was_closed;

void fill_standard_streams() {
  // A process started without standard handles (detached, or by a service) has descriptors 0 to 2
  // that lead nowhere: they get the null device, as elsewhere.
  for (int fd = 0; fd < 3; fd++) {
    if (_get_osfhandle(fd) >= 0) continue;
    if (fd == 1) output_was_closed = true;
    int null = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (null >= 0 && null != fd) {
      _dup2(null, fd);
      _close(null);
    }
  }
}
