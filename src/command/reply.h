// Replies on standard output: the answer to an S line, written only when a controller asks for one.
#pragma once

#include <cstddef>

// Writes "S", then a space and the token when the line had them (spaced), and a newline, in one
// write to standard output. A reply that cannot be written (standard output closed, its reader
// gone, or one that reads nothing for reply_wait_ms while the output is full) is lost, as are the
// ones after it; the session goes on. False when it was lost.
bool reply_sync(const char *token, size_t length, bool spaced);

// Why replies are lost, once they are; null while they are written.
extern const char *replies_lost;

// Where replies go: standard output (1), unless a test puts a descriptor of its own there.
extern int reply_fd;

// How long a full standard output may keep a reply waiting: a controller that sends S and never
// reads the replies must not stop hidpipe reading its commands. 10 s; tests shorten it.
extern unsigned reply_wait_ms;
