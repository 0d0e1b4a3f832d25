// How the process meets its system (stop_posix.cc, stop_windows.cc): the signals that end a
// session (SIGINT, SIGTERM, SIGHUP; on Windows, Ctrl+C, Ctrl+Break and closing the console),
// noticed between commands so that everything held is released before the process ends by the
// same signal; and the standard streams.
#pragma once

#include <csignal>

// The first stop signal that arrived, or 0. Written only by the signal handler.
extern volatile sig_atomic_t stop_signal;

// Installs the handler for the stop signals (those not ignored at start, so that nohup keeps its
// meaning). The handler records the signal and puts input_fd at its end, so that a read begun
// after the loop last looked returns at once instead of waiting for input that may never come.
void catch_stop_signals(int input_fd);

// Reads at most n bytes of the input fd into buffer, as read() does; a stop signal ends a read
// that waits at once (0, as at the end of input, or -1 with EINTR).
long read_input(int fd, char *buffer, unsigned n);

// Waits ms milliseconds, against a deadline on a monotonic clock; a stop signal ends the wait at
// once. False when a stop signal ended it.
bool pause_for(unsigned ms);

// What a bounded write came to: written (or failed as write() fails), or not taken in time, or cut
// short by a stop signal.
enum room { room_ready, room_timeout, room_stopped };

// Writes up to n bytes of p (a reply: at most 128 bytes) to fd as write() does, once fd has room,
// waiting for it at most ms; a stop signal ends the wait at once. *r says whether the write was
// made (room_ready: then the result and errno are write()'s) or why not.
long write_within(int fd, const char *p, unsigned n, unsigned ms, room *r);

// Ends the process by signal sig with its default action, so that the parent sees the signal.
[[noreturn]] void die_by(int sig);

// Opens the null device onto any of the standard streams that is closed, before anything else opens
// a file: otherwise the next file opened (the window system's connection, the log) would become
// standard input, output or error, and diagnostics would be written into it.
void fill_standard_streams();

// Whether standard output was closed when the process started (it then leads to the null device):
// replies written there reach no one, and are lost as such.
extern bool output_was_closed;

// Readies the standard streams: input is read as the bytes that were written (Windows would
// otherwise turn CR LF into LF and end at Ctrl+Z), and a reader of the replies or diagnostics that
// goes away does not end the session with keys held.
void prepare_streams(int input_fd, bool diagnostics);
