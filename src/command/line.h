// The line reader: standard input cut into command lines exactly as fgets with a 96-byte buffer
// would cut it, from a buffer of its own, without stdio's locking and with stop signals noticed.
#pragma once

#include <cstddef>
#include <cstdint>

// A line of 95 characters plus its terminating zero.
inline constexpr size_t line_size = 96;

// What the reader knows about the line it returned last.
struct line_info {
  uint64_t number;  // 1 for the first line of the input
  bool cut;         // the line was over 95 characters; its tail was discarded
};

// Starts reading fd from its current position, forgetting anything buffered before.
void start_lines(int fd);

// Reads the next line into line, as fgets(line, 96, ...) would: at most 95 characters, with the
// newline when it fits, zero-terminated. Of a longer line only the first 95 characters are kept;
// the rest, up to and including its newline, is discarded. Returns false at the end of input, on a
// read error, or once a stop signal has arrived (a line still incomplete then is dropped).
bool read_line(char (&line)[line_size], line_info *info);

// The errno of the read that failed (a directory for input, say), or 0 when the input ended or is
// still being read.
int input_error();
