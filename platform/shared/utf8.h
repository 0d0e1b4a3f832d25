// Code points as UTF-8, for the remarks that name a character.
#pragma once

#include <cstdint>

// A code point as UTF-8, zero-terminated, in out; returns out.
inline const char *utf8_of(uint32_t c, char (&out)[5]) {
  int n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  static constexpr unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (int i = n - 1; i > 0; i--, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
  out[0] = static_cast<char>(n == 1 ? c : lead[n] | c);
  out[n] = '\0';
  return out;
}
