#include "command/reply.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "command/line.h"
#include "command/stop.h"

const char *replies_lost;
int reply_fd = 1;

bool reply_sync(const char *token, size_t length, bool spaced) {
  if (replies_lost != nullptr) return false;
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
  for (const char *p = text; n > 0;) {
    auto w = write(reply_fd, p, static_cast<unsigned>(n));  // Windows' write takes an unsigned
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR && stop_signal == 0) continue;
    // A reader that keeps its end non-blocking and full: wait for room, as a blocking write would.
    if (w < 0 && errno == EAGAIN && pause_for(1)) continue;
    replies_lost = w < 0 && errno == EPIPE   ? "its reader is gone"
                   : w < 0 && errno == EBADF ? "it is closed"
                   : stop_signal != 0        ? "a stop signal cut the write short"
                                             : "writing failed";
    return false;
  }
  return true;
}
