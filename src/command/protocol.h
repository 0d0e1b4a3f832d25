// The line protocol's reader: scanf's rules for the command formats, without scanf.
#pragma once

#include <cstdint>

// The fields read from one line.
struct fields {
  int32_t num[4];  // the %d fields, in order
  char name[32];   // the %31s field
};

// Reads line (up to its first NUL) with format, as sscanf would: a format character other than a
// blank or conversion must match the next character; a blank matches any run of white space,
// none included; "%d" skips white space and reads an optionally signed decimal number; "%31s"
// skips white space and reads 1 to 31 characters up to the next white space. Returns how many
// fields were read before the first that could not be. A number outside the 32-bit signed range
// is not read: no line may wrap a coordinate around.
int scan(const char *line, const char *format, fields *out);
