#include "command/reply.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "command/line.h"
#include "command/stop.h"

const char *replies_lost;
int reply_fd = 1;
unsigned reply_wait_ms = 10000;

namespace {

// Why replies are lost when no room came: the wait's bound, or a stop signal.
const char *no_room(room r) {
  if (r == room_stopped) return "a stop signal cut the write short";
  static char idle[64];
  unsigned ms = reply_wait_ms;
  if (ms % 1000 == 0)
    snprintf(idle, sizeof idle, "its reader took nothing for %u s", ms / 1000);
  else
    snprintf(idle, sizeof idle, "its reader took nothing for %u ms", ms);
  return idle;
}

// Writes n bytes of text to the replies' descriptor; on failure sets replies_lost.
bool write_reply(const char *text, size_t n) {
  for (const char *p = text; n > 0;) {
    // Within the bound: a write to a full pipe would wait for as long as its reader does not read.
    room r = room_ready;
    long w = write_within(reply_fd, p, static_cast<unsigned>(n), reply_wait_ms, &r);
    if (r != room_ready) {
      replies_lost = no_room(r);
      return false;
    }
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    // Interrupted, or a reader that keeps its end non-blocking: the next bounded write decides.
    if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    replies_lost = w < 0 && errno == EPIPE   ? "its reader is gone"
                   : w < 0 && errno == EBADF ? "it is closed"
                                             : "writing failed";
    return false;
  }
  return true;
}

}  // namespace

bool reply_sync(const char *token, size_t length, bool spaced) {
  if (replies_lost != nullptr) return false;
  if (reply_fd == 1 && output_was_closed) {
    replies_lost = "it was closed when hidpipe started";
    return false;
  }
  // At most "S ", a token of what remains of a line, and the newline.
  char text[line_size + 2];
  size_t n = 0;
  text[n++] = 'S';
  if (spaced) {
    text[n++] = ' ';
    if (length > line_size - 3) length = line_size - 3;
    memcpy(text + n, token, length);
    n += length;
  }
  text[n++] = '\n';
  return write_reply(text, n);
}
