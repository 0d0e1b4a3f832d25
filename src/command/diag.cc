#include "command/diag.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "command/protocol.h"
#include "emit/platform.h"
#include "keyboard/key.h"
#include "keyboard/text.h"
#include "pointer/motion.h"

bool verbose;

void say(const char *format, ...) {
  char text[1024];
  int n = snprintf(text, sizeof text, "hidpipe: ");
  va_list ap;
  va_start(ap, format);
  int m = vsnprintf(text + n, sizeof text - static_cast<size_t>(n) - 1, format, ap);
  va_end(ap);
  if (m < 0) return;
  size_t len = static_cast<size_t>(n) + static_cast<size_t>(m);
  if (len > sizeof text - 2) len = sizeof text - 2;  // cut, but still one whole line
  text[len++] = '\n';
  for (const char *p = text; len > 0;) {
    ssize_t w = write(2, p, static_cast<unsigned>(len));  // a line: Windows' write takes an unsigned
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;  // a closed standard error silences diagnostics, nothing more
    p += w;
    len -= static_cast<size_t>(w);
  }
}

namespace {

// Common names for keys that the table names otherwise, for suggestions only: the protocol takes
// table names alone.
const struct {
  const char *other;  // what people write
  const char *name;   // the table's name
} other_names[] = {
    {"ctrl", "ControlLeft"}, {"control", "ControlLeft"}, {"shift", "ShiftLeft"}, {"alt", "AltLeft"},
    {"option", "AltLeft"},   {"meta", "MetaLeft"},       {"cmd", "MetaLeft"},    {"command", "MetaLeft"},
    {"super", "MetaLeft"},   {"win", "MetaLeft"},        {"return", "Enter"},    {"esc", "Escape"},
    {"up", "ArrowUp"},       {"down", "ArrowDown"},      {"left", "ArrowLeft"},  {"right", "ArrowRight"},
    {"del", "Delete"},       {"ins", "Insert"},          {"pgup", "PageUp"},     {"pgdn", "PageDown"},
    {"menu", "ContextMenu"}, {"caps", "CapsLock"},       {"bksp", "Backspace"},
};

char lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

bool same_ignoring_case(const char *a, const char *b) {
  for (; *a != '\0' && lower(*a) == lower(*b); a++, b++) {
  }
  return *a == '\0' && *b == '\0';
}

// Whether a becomes b, letter case aside, by changing, adding or removing one character.
bool one_apart(const char *a, const char *b) {
  size_t la = strlen(a), lb = strlen(b);
  if (la > lb) return one_apart(b, a);
  if (lb - la > 1) return false;
  size_t i = 0;
  while (i < la && lower(a[i]) == lower(b[i])) i++;
  // Past the first difference the rest must agree: shifted by one when lengths differ.
  size_t skip = la == lb ? 1 : 0;
  for (size_t j = i + skip; j < la; j++)
    if (lower(a[j]) != lower(b[j + 1 - skip])) return false;
  return true;
}

// Copies the text at p up to the next white space (at most 24 characters, non-printing ones as
// '?') into out, for quoting in a message.
const char *token(const char *p, char (&out)[28]) {
  size_t n = 0;
  while (n < 24 && p[n] != '\0' && !reader::blank(p[n])) {
    out[n] = isprint(static_cast<unsigned char>(p[n])) ? p[n] : '?';
    n++;
  }
  if (p[n] != '\0' && !reader::blank(p[n])) out[n++] = '.', out[n++] = '.', out[n++] = '.';
  out[n] = '\0';
  return out;
}

// A command's format for messages: its letter and field names.
struct shape {
  char letter;
  const char *usage;     // as the docs write it
  const char *names[4];  // field names, in order
  int count;             // fields
  bool word;             // the first field is a key name
};

constexpr shape shapes[] = {
    {'M', "M x y", {"x", "y"}, 2, false},
    {'D', "D dx dy", {"dx", "dy"}, 2, false},
    {'B', "B x y b down", {"x", "y", "b", "down"}, 4, false},
    {'W', "W x y dx dy", {"x", "y", "dx", "dy"}, 4, false},
    {'K', "K name down", {"name", "down"}, 2, true},
    {'P', "P ms", {"ms"}, 1, false},
};

const char *button_names[] = {"left", "middle", "right", "back", "forward"};

// Reads the fields of a command's line as its format does; on the first that cannot be read,
// writes why into out and returns false.
bool read_fields(const shape &s, const char *line, fields *f, char *out, size_t size) {
  const char *p = line + 1;
  char quoted[28];
  for (int i = 0; i < s.count; i++) {
    p = reader::skip_blanks(p);
    const char *name = s.names[i];
    if (*p == '\0') {
      snprintf(out, size, "%c: %s missing; expected \"%s\"", s.letter, name, s.usage);
      return false;
    }
    if (s.word && i == 0) {
      const char *word = p;
      p = reader::read_word(p, f->name);
      if (!reader::blank(*p) && *p != '\0') {
        // Longer than 31 characters: no key has such a name, whatever follows.
        snprintf(out, size, "K: key name \"%s\" is longer than 31 characters", token(word, quoted));
        return false;
      }
      continue;
    }
    int32_t *number = &f->num[s.word ? i - 1 : i];
    const char *after = reader::read_number(p, number);
    if (after != nullptr) {
      p = after;
      continue;
    }
    const char *digits = *p == '-' || *p == '+' ? p + 1 : p;
    if (reader::digit(*digits))
      snprintf(out, size, "%c: %s %s is out of range (-2147483648 to 2147483647)", s.letter, name,
               token(p, quoted));
    else
      snprintf(out, size, "%c: %s is not a number: \"%s\"; expected \"%s\"", s.letter, name, token(p, quoted),
               s.usage);
    return false;
  }
  return true;
}

bool in_range(int32_t v, int32_t low, int32_t high) { return v >= low && v <= high; }

// Why a B line whose fields were read does nothing, if it does not.
const char *explain_button(const int32_t *n, char *out, size_t size) {
  int b = n[2];
  if (!in_range(b, 0, button_count - 1))
    snprintf(out, size, "B: b %d is out of range (0 left, 1 middle, 2 right, 3 back, 4 forward)", b);
  else if (!in_range(n[3], 0, 1))
    snprintf(out, size, "B: down %d is out of range (1 presses, 0 releases)", n[3]);
  else if (held_buttons[b] != 0 && n[3] == 1)
    snprintf(out, size, "B: button %d (%s) is already held", b, button_names[b]);
  else if (held_buttons[b] == 0 && n[3] == 0)
    snprintf(out, size, "B: button %d (%s) is not held; nothing to release", b, button_names[b]);
  else
    return nullptr;
  return out;
}

// Why a W line whose fields were read does nothing, if it does not.
const char *explain_wheel(const int32_t *n, char *out, size_t size) {
  for (int i = 2; i < 4; i++) {
    if (in_range(n[i], -1000, 1000)) continue;
    snprintf(out, size, "W: %s %d is out of range (-1000 to 1000)", i == 2 ? "dx" : "dy", n[i]);
    return out;
  }
  return nullptr;
}

// Why a K line whose fields were read does nothing, if it does not.
const char *explain_key(const fields &f, char *out, size_t size) {
  int row = find_key(f.name);
  if (row < 0) {
    const char *near = suggest_key(f.name);
    if (near != nullptr)
      snprintf(out, size, "K: unknown key name \"%s\"; did you mean \"%s\"?", f.name, near);
    else
      snprintf(out, size,
               "K: unknown key name \"%s\"; names are KeyboardEvent codes: KeyA, Digit1, ShiftLeft, ...",
               f.name);
  } else if (!in_range(f.num[0], 0, 1)) {
    snprintf(out, size, "K: down %d is out of range (1 presses, 0 releases)", f.num[0]);
  } else if (f.num[0] == 0 && held_keys[row] == 0) {
    snprintf(out, size, "K: %s is not held; nothing to release", keys[row].name);
  } else {
    return nullptr;
  }
  return out;
}

// Why a T line types nothing, if it does not.
const char *explain_text(const char *line, bool cut, char *out, size_t size) {
  size_t length = 0;
  const char *text = text_field(line, &length);
  if (text == nullptr) {
    bool bare = line[1] == '\0' || line[1] == '\n' || (line[1] == '\r' && line[2] == '\n');
    snprintf(out, size, bare ? "T: no text to type" : "T: expected one space after T, then the text");
    return out;
  }
  if (length == 0) {
    snprintf(out, size, "T: no text to type");
    return out;
  }
  utf8_check check = check_utf8(text, length);
  bool at_cut = text_at_cut(line, text, length, cut);
  if (at_cut && check.incomplete && check.valid == 0) {
    snprintf(out, size, "T: the cut at 95 characters left no whole character; nothing typed");
    return out;
  }
  if (check.valid == length || (at_cut && check.incomplete)) {
    if (text_unsupported == nullptr) return nullptr;
    snprintf(out, size, "T: %s; nothing typed", text_unsupported);
    return out;
  }
  snprintf(out, size, "T: the text is not valid UTF-8 at byte %zu (0x%02x); nothing typed", check.valid + 1,
           static_cast<unsigned>(static_cast<unsigned char>(text[check.valid])));
  return out;
}

// Why an S line is not answered, if it is not.
const char *explain_sync(const char *line, bool cut, char *out, size_t size) {
  size_t length = 0;
  bool spaced = false;
  if (sync_token(line, cut, &length, &spaced) != nullptr) return nullptr;
  snprintf(out, size,
           spaced ? "S: the token is longer than 93 bytes; no reply"
                  : "S: expected nothing, or one space and a token, after S; no reply");
  return out;
}

}  // namespace

const char *suggest_key(const char *name) {
  for (const key_entry &k : keys)
    if (same_ignoring_case(name, k.name)) return k.name;
  for (const auto &o : other_names)
    if (same_ignoring_case(name, o.other)) return o.name;
  // A lone letter or digit names the key that types it.
  if (name[0] != '\0' && name[1] == '\0' && isalnum(static_cast<unsigned char>(name[0]))) {
    char spelled[8];
    bool letter = isalpha(static_cast<unsigned char>(name[0])) != 0;
    snprintf(spelled, sizeof spelled, "%s%c", letter ? "Key" : "Digit",
             letter ? static_cast<char>(toupper(static_cast<unsigned char>(name[0]))) : name[0]);
    return keys[find_key(spelled)].name;
  }
  for (const key_entry &k : keys)
    if (one_apart(name, k.name)) return k.name;
  return nullptr;
}

const char *explain(const char *line, bool cut, char *out, size_t size) {
  char c = line[0];
  if (c == 'T') return explain_text(line, cut, out, size);
  if (c == 'S') return explain_sync(line, cut, out, size);
  for (const shape &s : shapes) {
    if (s.letter != c) continue;
    fields f{};
    if (!read_fields(s, line, &f, out, size)) return out;
    if (c == 'B') return explain_button(f.num, out, size);
    if (c == 'W') return explain_wheel(f.num, out, size);
    if (c == 'K') return explain_key(f, out, size);
    if (c == 'P' && !in_range(f.num[0], 0, max_pause_ms)) {
      snprintf(out, size, "P: ms %d is out of range (0 to %d)", f.num[0], max_pause_ms);
      return out;
    }
    return nullptr;
  }
  if (c == 'R') return nullptr;
  if (c == '\n' || (c == '\r' && line[1] == '\n'))
    snprintf(out, size, "empty line");
  else if (c == '\0')
    snprintf(out, size, "the line starts with a NUL byte");
  else if (reader::blank(c))
    snprintf(out, size, "the line starts with white space; a command starts with its letter");
  else if (strchr("mdbwkrtsp", c) != nullptr)
    snprintf(out, size, "unknown command '%c'; commands are upper case: '%c'", c, toupper(c));
  else if (isprint(static_cast<unsigned char>(c)))
    snprintf(out, size, "unknown command '%c'; the commands are M, D, B, W, K, T, R, S and P", c);
  else
    snprintf(out, size, "unknown command (byte 0x%02x); the commands are M, D, B, W, K, T, R, S and P",
             static_cast<unsigned>(static_cast<unsigned char>(c)));
  return out;
}
