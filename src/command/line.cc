#include "command/line.h"

#include <cerrno>
#include <cstring>

#include "command/stop.h"

namespace {

char buffer[65536];  // input read and not yet cut into lines
size_t start;        // the first byte of buffer not yet taken
size_t end;          // the end of what was read into buffer
int input = -1;      // the descriptor read
bool ended;          // the input ended or failed: nothing more will be read
int failure;         // the errno of the read that failed, or 0
uint64_t count;      // lines returned so far

// Reads more input behind what is buffered; false when nothing more can come.
bool fill() {
  if (ended) return false;
  // Keep the unread bytes, at most a line's worth, at the front, so the buffer never fills.
  memmove(buffer, buffer + start, end - start);
  end -= start;
  start = 0;
  for (;;) {
    // A stop signal makes the read return at once (the handler empties the input), however
    // late it arrives; one that came before the read is seen here.
    if (stop_signal != 0) return false;
    // At most the buffer's 64 KiB, which Windows' read, taking an unsigned, also takes.
    long n = read_input(input, buffer + end, static_cast<unsigned>(sizeof buffer - end));
    if (n > 0) {
      end += static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    // The end of input, or an error, which fgets reports alike; the error is kept for the status.
    if (n < 0 && stop_signal == 0) failure = errno;
    ended = true;
    return false;
  }
}

// Discards input up to and including the next newline.
void skip_line() {
  for (;;) {
    const void *newline = memchr(buffer + start, '\n', end - start);
    if (newline != nullptr) {
      start = static_cast<size_t>(static_cast<const char *>(newline) - buffer) + 1;
      return;
    }
    start = end;
    if (!fill()) return;
  }
}

}  // namespace

void start_lines(int fd) {
  input = fd;
  start = end = 0;
  ended = false;
  failure = 0;
  count = 0;
}

int input_error() { return failure; }

bool read_line(char (&line)[line_size], line_info *info) {
  constexpr size_t most = line_size - 1;
  size_t n = 0;
  bool newline = false;
  for (;;) {
    size_t ready = end - start;
    const void *found = memchr(buffer + start, '\n', ready < most ? ready : most);
    if (found != nullptr) {
      n = static_cast<size_t>(static_cast<const char *>(found) - (buffer + start)) + 1;
      newline = true;
      break;
    }
    if (ready >= most) {
      n = most;
      break;
    }
    if (!fill()) {
      // A last line without a newline still counts, unless a stop signal cut it short.
      if (stop_signal != 0 || end == start) return false;
      n = end - start;
      break;
    }
  }
  memcpy(line, buffer + start, n);
  line[n] = '\0';
  start += n;
  info->number = ++count;
  info->cut = false;
  if (!newline && n == most) {
    // fgets would return the newline of a line of exactly 95 characters as a line of its own;
    // it goes with the rest of the line, and only a longer line counts as cut.
    if (start == end) fill();
    info->cut = start < end && buffer[start] != '\n';
    skip_line();
  }
  return true;
}
