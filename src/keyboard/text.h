// The T command: text typed as Unicode, whatever the keyboard layout.
#pragma once

#include <cstddef>

// How the UTF-8 in text[0, length) stands.
struct utf8_check {
  size_t valid;     // bytes from the start that are whole, valid sequences
  bool incomplete;  // the byte at valid starts a sequence that the end cuts short, but is valid so far
};

// Checks text strictly: overlong forms, surrogates, values past U+10FFFF and stray continuation
// bytes are invalid.
utf8_check check_utf8(const char *text, size_t length);

// Handles "T text": types text (length bytes of UTF-8). For each run of at most 20 UTF-16 code
// units, never splitting a surrogate pair, posts a key-down and a key-up keyboard event of virtual
// key 0 carrying the run; held keys stay as they are. Text that is not valid UTF-8 types nothing,
// except that with cut (the text ends where its line was cut at 95 characters) a sequence the cut
// left incomplete at the end is dropped.
void type_text(const char *text, size_t length, bool cut);
