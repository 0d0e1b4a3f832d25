#include "keyboard/key.h"

#include <cstring>

#include "emit/post.h"

uint8_t held_keys[std::size(keys)];

void key(const char *name, int down) {
  int row = find_key(name);
  if (row < 0) return;
  if (down == 0 && held_keys[row] == 0) return;
  held_keys[row] = static_cast<uint8_t>(down);
  post(key_event(row, down));
}

CGEventRef key_event(int row, int down) {
  int32_t mac = keys[row].mac;
  CGEventRef event = CGEventCreateKeyboardEvent(source, static_cast<CGKeyCode>(mac), down != 0);
  // Modifier keys reach applications as flag changes, not key presses; caps lock is the
  // exception the platform expects as an ordinary key.
  if (event != nullptr && row != caps_lock_row && mac >= 54 && mac <= 62)
    CGEventSetType(event, kCGEventFlagsChanged);
  return event;
}

void release_keys() {
  for (size_t row = 0; row < std::size(keys); row++) {
    // Usually nothing or little is held: pass over eight clear flags at a time.
    if (row % 8 == 0 && row + 8 <= std::size(keys)) {
      uint64_t eight = 0;
      memcpy(&eight, &held_keys[row], sizeof eight);
      if (eight == 0) {
        row += 7;
        continue;
      }
    }
    if (held_keys[row] == 0) continue;
    held_keys[row] = 0;
    post(key_event(static_cast<int>(row), 0));
  }
}
