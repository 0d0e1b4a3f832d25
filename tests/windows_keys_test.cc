// Windows' key codes against the key table: a row typed wrong in either would send another key.
#include "windows/keys.h"

#include <gtest/gtest.h>

#include <cstring>

#include "keyboard/keys.h"

namespace {

TEST(windows_keys, every_key_has_its_scan_code_and_a_virtual_key) {
  for (const key_entry &k : keys) {
    SCOPED_TRACE(k.name);
    windows_key w = windows_keys.at(static_cast<size_t>(k.mac));
    EXPECT_NE(w.vk, 0);
    EXPECT_EQ(w.scan & 0xFF, k.scancode & 0xFF);
    // SendInput toggles NumLock only as an extended key, though its scan code has no prefix.
    bool extended = (k.scancode & 0xFF00) != 0 || strcmp(k.name, "NumLock") == 0;
    EXPECT_EQ((w.scan & 0xFF00) != 0, extended);
  }
}

TEST(windows_keys, the_layout_decides_exactly_the_keys_that_type) {
  // Letters, digits and punctuation (and the key beside the left Shift) take the user's layout's
  // virtual key; keys that do not type keep theirs, the keypad's included.
  for (const key_entry &k : keys) {
    SCOPED_TRACE(k.name);
    bool types = strncmp(k.name, "Key", 3) == 0 || strncmp(k.name, "Digit", 5) == 0;
    for (const char *p : {"Backquote", "Minus", "Equal", "BracketLeft", "BracketRight", "Backslash",
                          "IntlBackslash", "Semicolon", "Quote", "Comma", "Period", "Slash"})
      types = types || strcmp(k.name, p) == 0;
    EXPECT_EQ(types_character(windows_keys.at(static_cast<size_t>(k.mac)).vk), types);
  }
}

TEST(windows_keys, distinct_keys_send_distinct_codes) {
  // Two keys may share a virtual key (Enter and the keypad's Enter) but not also a scan code.
  for (size_t a = 0; a < std::size(keys); a++)
    for (size_t b = a + 1; b < std::size(keys); b++) {
      windows_key x = windows_keys.at(static_cast<size_t>(keys[a].mac));
      windows_key y = windows_keys.at(static_cast<size_t>(keys[b].mac));
      EXPECT_FALSE(x.vk == y.vk && x.scan == y.scan) << keys[a].name << " and " << keys[b].name;
    }
}

}  // namespace
