// Diagnostics on standard error, written only when asked for (--verbose): why a line did nothing,
// why a start failed. Without them hidpipe writes nothing at all.
#pragma once

#include <cstddef>

extern bool verbose;  // whether diagnostics are written

// Writes "hidpipe: " and the formatted text to standard error as one line, in one write.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Why handling line now would do nothing, written as one line into out (size bytes), which is
// returned; null when line is a command that will act. cut tells that the line was cut at 95
// characters. Reads the held keys and buttons and changes nothing, so it is asked before the line
// is handled.
const char *explain(const char *line, bool cut, char *out, size_t size);

// A key-table name that the unknown name was probably meant to be (the same but for letter case
// or one character, or a common other name for the key), or null.
const char *suggest_key(const char *name);
