// The line protocol's reader: scanf's rules for the command formats, without scanf. A format is
// fixed when compiling, so each command's reader is laid out as straight code.
#pragma once

#include <cstddef>
#include <cstdint>

// The fields read from one line.
struct fields {
  int32_t num[4];  // the %d fields, in order
  char name[32];   // the %31s field
};

// A scan format: literal characters, blanks, "%d" and "%31s".
template <size_t N>
struct format {
  char text[N] = {};
  // Implicit, so that a format is written as a plain literal.
  consteval format(const char (&f)[N]) {
    for (size_t i = 0; i < N; i++) text[i] = f[i];
  }
};

namespace reader {

// White space as isspace sees it in the C locale, whatever locale the process is in.
constexpr bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr bool digit(char c) { return c >= '0' && c <= '9'; }

inline const char *skip_blanks(const char *p) {
  while (blank(*p)) p++;
  return p;
}

// Reads an optionally signed decimal number at p into *out; returns the end of it, or null when
// there is no number or it does not fit 32 bits.
const char *read_number(const char *p, int32_t *out);

// Reads 1 to 31 characters up to the next white space into out, zero-terminated; returns the end of
// them, or null when p is at the end of the text.
const char *read_word(const char *p, char *out);

template <format F, size_t I>
int scan_from(const char *p, fields *out, int read) {
  constexpr char c = F.text[I];
  constexpr bool word = c == '%' && F.text[I + 1] == '3' && F.text[I + 2] == '1' && F.text[I + 3] == 's';
  if constexpr (c == '\0') {
    return read;
  } else if constexpr (blank(c)) {
    return scan_from<F, I + 1>(skip_blanks(p), out, read);
  } else if constexpr (c == '%' && F.text[I + 1] == 'd') {
    constexpr int index = [] {
      int n = 0;
      for (size_t i = 0; i < I; i++) n += F.text[i] == '%' && F.text[i + 1] == 'd';
      return n;
    }();
    static_assert(index < 4, "at most four numbers");
    p = read_number(skip_blanks(p), &out->num[index]);
    return p == nullptr ? read : scan_from<F, I + 2>(p, out, read + 1);
  } else if constexpr (word) {
    p = read_word(skip_blanks(p), out->name);
    return p == nullptr ? read : scan_from<F, I + 4>(p, out, read + 1);
  } else {
    static_assert(c != '%', "unknown conversion");
    return *p != c ? read : scan_from<F, I + 1>(p + 1, out, read);
  }
}

}  // namespace reader

// The text of a T line: after "T" and one space, up to the newline and a carriage return right
// before it (or the end of what was read), taken byte for byte. Returns it and sets *length, or
// returns null when the line is not "T " followed by anything.
inline const char *text_field(const char *line, size_t *length) {
  if (line[0] != 'T' || line[1] != ' ') return nullptr;
  const char *text = line + 2;
  size_t n = 0;
  while (text[n] != '\0' && text[n] != '\n') n++;
  if (text[n] == '\n' && n > 0 && text[n - 1] == '\r') n--;
  *length = n;
  return text;
}

// The longest pause a P line asks for, in milliseconds.
inline constexpr int32_t max_pause_ms = 60000;

// The token of an S line: after "S" and one space, taken as a T line's text is (*spaced true), or
// none when the line is "S" alone, before its newline (*spaced false). Returns it and sets *length,
// or returns null when the line is not an S line ("Sx" is not) or its token is longer than 93
// bytes (the line was cut).
inline const char *sync_token(const char *line, bool cut, size_t *length, bool *spaced) {
  if (line[0] != 'S') return nullptr;
  *spaced = line[1] == ' ';
  if (!*spaced) {
    bool bare =
        line[1] == '\0' || line[1] == '\n' || (line[1] == '\r' && (line[2] == '\n' || line[2] == '\0'));
    *length = 0;
    return bare ? line + 1 : nullptr;
  }
  if (cut) return nullptr;
  const char *token = line + 2;
  size_t n = 0;
  while (token[n] != '\0' && token[n] != '\n') n++;
  if (token[n] == '\n' && n > 0 && token[n - 1] == '\r') n--;
  *length = n;
  return token;
}

// Whether a T line's text ends where a line longer than 95 characters was cut (cut), so that a
// sequence left incomplete there was cut in two, rather than ended by a NUL or the line's end.
inline bool text_at_cut(const char *line, const char *text, size_t length, bool cut) {
  return cut && text + length == line + 95;
}

// Reads line (up to its first NUL) with format F, as sscanf would: a format character other than a
// blank or conversion must match the next character; a blank matches any run of white space,
// none included; "%d" skips white space and reads an optionally signed decimal number; "%31s"
// skips white space and reads 1 to 31 characters up to the next white space. Returns how many
// fields were read before the first that could not be. A number outside the 32-bit signed range
// is not read: no line may wrap a coordinate around.
template <format F>
int scan(const char *line, fields *out) {
  return reader::scan_from<F, 0>(line, out, 0);
}
