#include "command/protocol.h"

namespace reader {

const char *read_number(const char *p, int32_t *out) {
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  if (!digit(*p)) return nullptr;
  // Accumulating in 64 bits, a value past 2^31 is caught before it can wrap, however many digits
  // follow; leading zeros add nothing.
  uint64_t magnitude = 0;
  for (; digit(*p); p++) {
    magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
    if (magnitude > 0x80000000u) return nullptr;
  }
  if (!negative && magnitude == 0x80000000u) return nullptr;
  *out = static_cast<int32_t>(negative ? 0u - static_cast<uint32_t>(magnitude)
                                       : static_cast<uint32_t>(magnitude));
  return p;
}

const char *read_word(const char *p, char *out) {
  if (*p == '\0') return nullptr;
  size_t n = 0;
  for (; n < 31; n++, p++) {
    // Every byte above the space is part of a word: one comparison for nearly every character.
    auto c = static_cast<unsigned char>(*p);
    if (c <= ' ' && (c == '\0' || blank(*p))) break;
    out[n] = *p;
  }
  out[n] = '\0';
  return p;
}

}  // namespace reader
