#include "command/protocol.h"

#include <charconv>
#include <cstring>

namespace {

// White space as isspace sees it in the C locale, whatever locale the process is in.
bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool digit(char c) { return c >= '0' && c <= '9'; }

const char *skip_blanks(const char *p) {
  while (blank(*p)) p++;
  return p;
}

// Reads an optionally signed decimal number at p into *out; returns the end of it, or null when
// there is no number or it does not fit 32 bits.
const char *read_number(const char *p, int32_t *out) {
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  // from_chars would take a second sign; scanf takes digits only.
  if (!digit(*p)) return nullptr;
  const char *end = p;
  while (digit(*end)) end++;
  uint32_t magnitude = 0;
  if (std::from_chars(p, end, magnitude).ec != std::errc()) return nullptr;
  if (negative) {
    if (magnitude > 0x80000000u) return nullptr;
    *out = static_cast<int32_t>(0u - magnitude);
  } else {
    if (magnitude > 0x7fffffffu) return nullptr;
    *out = static_cast<int32_t>(magnitude);
  }
  return end;
}

}  // namespace

int scan(const char *line, const char *format, fields *out) {
  const char *p = line;
  int read = 0;
  int numbers = 0;
  for (const char *f = format; *f != '\0'; f++) {
    if (blank(*f)) {
      p = skip_blanks(p);
    } else if (f[0] == '%' && f[1] == 'd') {
      f++;
      if (numbers == 4) return read;
      p = read_number(skip_blanks(p), &out->num[numbers]);
      if (p == nullptr) return read;
      numbers++;
      read++;
    } else if (strncmp(f, "%31s", 4) == 0) {
      f += 3;
      p = skip_blanks(p);
      if (*p == '\0') return read;
      size_t n = 0;
      while (n < 31 && *p != '\0' && !blank(*p)) out->name[n++] = *p++;
      out->name[n] = '\0';
      read++;
    } else {
      if (*p != *f) return read;
      p++;
    }
  }
  return read;
}
