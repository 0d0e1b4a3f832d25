// What the portable platform needs from the operating system beneath it, one file per system
// (host_posix.cc, host_windows.cc): the clock and the event log's file.
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
