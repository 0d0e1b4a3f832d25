// The mixed command stream the whole-process measurements use: 40% M, 20% B, 10% W, 30% K, with a
// release (R) and an invalid line now and then. Deterministic for a given seed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct mix {
  uint64_t state;  // xorshift state
  int32_t x, y;    // the pointer position the stream has reached
};

inline uint64_t next(mix &m) {
  m.state ^= m.state << 13;
  m.state ^= m.state >> 7;
  m.state ^= m.state << 17;
  return m.state;
}

// Appends one command line, newline included, to out.
inline void add_command(mix &m, std::string &out) {
  static const char *const names[] = {"KeyA",  "KeyE",      "Space",       "ShiftLeft", "Digit5",
                                      "Enter", "ArrowLeft", "ControlLeft", "Slash",     "ScrollLock"};
  char line[96];
  uint64_t r = next(m);
  int pick = static_cast<int>(r % 100);
  int n = 0;
  if (pick < 40) {
    m.x = static_cast<int32_t>((m.x + static_cast<int32_t>(r >> 8) % 41 - 20 + 4000) % 4000);
    m.y = static_cast<int32_t>((m.y + static_cast<int32_t>(r >> 20) % 41 - 20 + 3000) % 3000);
    n = snprintf(line, sizeof line, "M %d %d\n", m.x, m.y);
  } else if (pick < 60) {
    // A press and its release, each its own command.
    n = snprintf(line, sizeof line, "B %d %d %d %d\n", m.x, m.y, static_cast<int>((r >> 8) % 3),
                 pick < 50 ? 1 : 0);
  } else if (pick < 70) {
    n = snprintf(line, sizeof line, "W %d %d 0 %d\n", m.x, m.y, static_cast<int>((r >> 8) % 241) - 120);
  } else if (pick < 99) {
    n = snprintf(line, sizeof line, "K %s %d\n", names[(r >> 8) % 10], pick < 85 ? 1 : 0);
  } else if ((r >> 8) % 2 == 0) {
    n = snprintf(line, sizeof line, "R\n");
  } else {
    n = snprintf(line, sizeof line, "K NoSuchKey 1\n");
  }
  out.append(line, static_cast<size_t>(n));
}
