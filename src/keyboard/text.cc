#include "keyboard/text.h"

#include <cstdint>

#include "emit/post.h"

namespace {

// A run's most UTF-16 code units: what one macOS keyboard event carries.
constexpr size_t run_units = 20;

// What a lead byte starts: the sequence's length (0 for a byte that starts none), its value bits,
// and the range its second byte must lie in, which rules out overlong forms, surrogates and values
// past U+10FFFF.
struct lead {
  int length;
  uint32_t bits;
  unsigned low, high;
};

lead lead_of(unsigned char b) {
  if (b < 0x80) return {1, b, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return {2, b & 0x1Fu, 0x80, 0xBF};
  if (b >= 0xE0 && b <= 0xEF) return {3, b & 0x0Fu, b == 0xE0 ? 0xA0u : 0x80u, b == 0xED ? 0x9Fu : 0xBFu};
  if (b >= 0xF0 && b <= 0xF4) return {4, b & 0x07u, b == 0xF0 ? 0x90u : 0x80u, b == 0xF4 ? 0x8Fu : 0xBFu};
  return {0, 0, 0, 0};
}

// Reads the sequence at p (n bytes left) into *c; returns its length, 0 when invalid, or -1 when
// it is valid as far as it goes and n cuts it short.
int decode(const unsigned char *p, size_t n, uint32_t *c) {
  lead l = lead_of(p[0]);
  *c = l.bits;
  for (int i = 1; i < l.length; i++) {
    if (static_cast<size_t>(i) >= n) return -1;
    unsigned char next = p[i];
    if (next < (i == 1 ? l.low : 0x80) || next > (i == 1 ? l.high : 0xBF)) return 0;
    *c = (*c << 6) | (next & 0x3Fu);
  }
  return l.length;
}

// Posts a key-down and a key-up of virtual key 0 carrying units.
void post_run(const UniChar *units, size_t count) {
  for (int down = 1; down >= 0; down--) {
    CGEventRef event = CGEventCreateKeyboardEvent(source, 0, down != 0);
    if (event != nullptr) CGEventKeyboardSetUnicodeString(event, static_cast<UniCharCount>(count), units);
    post(event);
  }
}

}  // namespace

utf8_check check_utf8(const char *text, size_t length) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  size_t at = 0;
  while (at < length) {
    uint32_t c = 0;
    int n = decode(p + at, length - at, &c);
    if (n <= 0) return {at, n < 0};
    at += static_cast<size_t>(n);
  }
  return {at, false};
}

void type_text(const char *text, size_t length, bool cut) {
  utf8_check check = check_utf8(text, length);
  if (check.valid < length && !(cut && check.incomplete)) return;
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  UniChar run[run_units];
  size_t count = 0;
  for (size_t at = 0; at < check.valid;) {
    uint32_t c = 0;
    at += static_cast<size_t>(decode(p + at, check.valid - at, &c));
    size_t units = c >= 0x10000 ? 2 : 1;
    // A surrogate pair never straddles two runs.
    if (count + units > run_units) {
      post_run(run, count);
      count = 0;
    }
    if (units == 2) {
      run[count++] = static_cast<UniChar>(0xD800 + ((c - 0x10000) >> 10));
      run[count++] = static_cast<UniChar>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      run[count++] = static_cast<UniChar>(c);
    }
  }
  if (count > 0) post_run(run, count);
}
