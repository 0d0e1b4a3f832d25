// What the portable platform needs from the operating system beneath it, one file per system
// (host_posix.cc, host_windows.cc): the clock, the event log's file, and the waits for the window
// system, each of which ends on its own bound and at once on a stop signal.
#pragma once

#include <cstddef>
#include <cstdint>

// Nanoseconds of a monotonic clock that does not stop while the process runs.
uint64_t host_clock_ns();

// Opens the event log at path for writing, as a descriptor that write() takes. A descriptor named
// as such is shared with whoever else writes there; no file that is one of the standard streams
// is ever truncated: a log in standard output or error continues where they write, and one in
// standard input is refused, as it would write over, or feed back into, the commands being read.
// A reader of the log that goes away must not end the process. Returns -1 with error (size bytes)
// set to why on failure.
int host_open_log(const char *path, char *error, size_t size);

// Tells the waits that stop signal sig arrived: a wait in progress ends at once, and so does every
// later one until host_grace. Async-signal-safe: the stop handler calls it.
void host_stop(int sig);

// The stop signal that arrived, or 0.
int host_stop_signal();

// The ending begins: the window system has until ms from now to take what is sent (the releases).
// From now on no wait lasts past then, and a stop signal no longer ends them at once.
void host_grace(unsigned ms);

// A session begins: no grace is running.
void host_begin();

// Whether the ending has begun (host_grace).
bool host_ending();

// What a wait ended by.
enum host_wake { host_ready, host_timed_out, host_stopped };

// Waits until fd is ready for events (poll's POLLIN, POLLOUT) or hangs up, for at most timeout_ms
// and never past the grace; fd -1 waits for the time alone.
host_wake host_wait(int fd, short events, unsigned timeout_ms);

// Writes up to n bytes of p to fd as write() does, once fd has room: at most ms (and never past the
// grace) for room, ended at once by a stop signal. -1 with errno ETIMEDOUT when no room came, EINTR
// when a stop signal cut the wait short. A pipe's reader that never reads cannot hold a write.
long host_write(int fd, const void *p, size_t n, unsigned ms);

// Sleeps ms milliseconds, as host_wait with no descriptor; false when it was cut short.
bool host_sleep(unsigned ms);

// For calls into a library that waits without a bound of its own: unless host_unguard comes first,
// after ms the process ends, by the stop signal if one arrived, else with status 1, having written
// why to standard error when host_verbose is set. Guards nest; host_unguard ends the latest.
void host_guard(unsigned ms, const char *why);
void host_unguard();

// What a guard that ends the process does first: release what the backend holds, by its own means
// (a library may be stuck mid-call), within the ending's grace. Async-signal-safe; null for none.
void host_last_words(void (*release)());

// Whether the guard may write why: the command line's --verbose.
extern bool host_verbose;
