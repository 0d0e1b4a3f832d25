// Helpers shared by the tests and the fuzzers, free of any test framework.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "quartz/cg_control.h"

// Clears every input-state variable of the program, as at process start.
void reset_program();

// The lines of text as fgets with a 96-byte buffer reads them, the rest of a line over 95
// characters discarded as hidpipe discards it. Each is the whole buffer as left (pre-filled with
// 0xAA), so that bytes after a NUL count too, followed by "+" when the line was cut.
std::vector<std::string> reference_lines(const std::string &text);

// The same through hidpipe's line reader, reading fd.
std::vector<std::string> reader_lines(int fd);

// A descriptor from which text can be read, positioned at its start (the caller closes it); -1
// when none can be made.
int text_input(const std::string &text);

// Whether every run of digits in line denotes a value that fits 32 bits: only on such lines must
// the protocol's reader agree with sscanf, which wraps larger numbers.
bool numbers_fit(const std::string &line);

// Reads line with the format of each command, once with the protocol's reader and once with
// sscanf; returns an empty string when they agree on the fields read and their values, else a
// description of the first difference.
std::string compare_with_sscanf(const char *line);

// Replays posted events as a window server would see them and returns an empty string when no
// input could have been better served, else the first fault: an event posted elsewhere than the
// HID tap; text not posted as a key-down and key-up pair of virtual key 0; a key or button released that was
// not down, a button pressed or dragged while not in the matching state; a key event of the wrong type; a
// click state outside 1..3; flags other than exactly those of the modifier keys down at the time; a key or
// button still down at the end.
std::string check_posts(const cg_record *posts, size_t count);
