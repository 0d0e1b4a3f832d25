// The benchmark's US text and the keys a person presses for it on a US layout: the text that
// hidpipe types into KWin, the keys its bare loop presses, and the key events the window must see.
#pragma once

#include <cstring>
#include <string>
#include <vector>

// 1,000 characters of ordinary text: capitals, digits and punctuation among small letters.
inline std::string us_text() {
  const std::string line = "Hello, World! The quick brown fox jumps over the lazy dog 1234567890. ";
  std::string text;
  while (text.size() < 1000) text += line;
  text.resize(1000);
  return text;
}

// The evdev code of c on a US layout and whether it needs Shift; 0 for a character not in the text.
inline unsigned us_key(char c, bool *shift) {
  static const char *const rows[] = {"1234567890", "qwertyuiop", "asdfghjkl", "zxcvbnm"};
  static const unsigned first[] = {2, 16, 30, 44};  // evdev codes of each row's first key
  *shift = (c >= 'A' && c <= 'Z') || c == '!';
  char plain = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c == '!' ? '1' : c;
  if (plain == ' ') return 57;
  if (plain == ',') return 51;
  if (plain == '.') return 52;
  for (size_t r = 0; r < 4; r++)
    if (const char *at = strchr(rows[r], plain); at != nullptr && plain != '\0')
      return first[r] + static_cast<unsigned>(at - rows[r]);
  return 0;
}

// The key events, as (code, down) pairs, that type text: Shift around each character that needs it.
inline std::vector<std::pair<unsigned, bool>> us_presses(const std::string &text) {
  std::vector<std::pair<unsigned, bool>> all;
  for (char c : text) {
    bool shift = false;
    unsigned code = us_key(c, &shift);
    if (shift) all.emplace_back(42, true);
    all.emplace_back(code, true);
    all.emplace_back(code, false);
    if (shift) all.emplace_back(42, false);
  }
  return all;
}
