// Characters typed through a layout as a person would: the key, and the keys that select its
// level, for layouts made with libxkbcommon from the default rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/layout.h"

namespace {

std::vector<std::string> presses;  // "30+" for a press of evdev 30, "30-" for its release

void record(unsigned evdev, bool down) { presses.push_back(std::to_string(evdev) + (down ? "+" : "-")); }

struct layout_case {
  const char *layout;
  const char *text;                  // one character, UTF-8
  std::vector<unsigned> held;        // evdev keys the user holds
  std::vector<std::string> pressed;  // empty: the layout has no key for it
};

// Evdev codes: Shift 42, right Alt 100 (the level 3 key of fr and de), 2 to 11 the digit row.
const layout_case layout_cases[] = {
    {"us", "a", {}, {"30+", "30-"}},
    {"us", "A", {}, {"42+", "30+", "30-", "42-"}},
    {"us", "A", {42}, {"30+", "30-"}},  // the user's Shift does it
    {"us", "a", {42}, {}},              // and rules the small letter out
    {"us", "@", {}, {"42+", "3+", "3-", "42-"}},
    {"us", " ", {}, {"57+", "57-"}},
    {"us", "\t", {}, {"15+", "15-"}},
    {"us", "é", {}, {}},
    {"us", "東", {}, {}},
    {"fr", "a", {}, {"16+", "16-"}},
    {"fr", "é", {}, {"3+", "3-"}},
    {"fr", "2", {}, {"42+", "3+", "3-", "42-"}},
    {"fr", "€", {}, {"100+", "18+", "18-", "100-"}},
    {"fr", "@", {}, {"100+", "11+", "11-", "100-"}},
    {"fr", "Æ", {}, {"42+", "100+", "16+", "16-", "100-", "42-"}},  // the fourth level: both
    {"de", "z", {}, {"21+", "21-"}},
    {"de", "ß", {}, {"12+", "12-"}},
    {"de", "@", {}, {"100+", "16+", "16-", "100-"}},
    {"de", "€", {}, {"100+", "18+", "18-", "100-"}},
    {"de", "Ä", {}, {"42+", "40+", "40-", "42-"}},
};

uint32_t first_code_point(const char *text) {
  auto c = static_cast<unsigned char>(text[0]);
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  uint32_t cp = c & (extra == 3 ? 0x07u : extra == 2 ? 0x0Fu : extra == 1 ? 0x1Fu : 0x7Fu);
  for (int k = 1; k <= extra; k++) cp = (cp << 6) | (static_cast<unsigned char>(text[k]) & 0x3Fu);
  return cp;
}

TEST(layout, keys_and_levels) {
  const char *why = nullptr;
  ASSERT_TRUE(xkb_load(&why)) << why;
  xkb_context *context = xkb.context_new(XKB_CONTEXT_NO_FLAGS);
  for (const layout_case &c : layout_cases) {
    xkb_rule_names names = {"evdev", "pc105", c.layout, "", ""};
    xkb_keymap *keymap = xkb.keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    ASSERT_NE(keymap, nullptr) << c.layout;
    bool held[256] = {};
    for (unsigned code : c.held) held[code] = true;
    presses.clear();
    typed t = type_char(keymap, 0, first_code_point(c.text), held, record);
    EXPECT_EQ(t, c.pressed.empty() ? (c.held.empty() ? not_on_layout : held_in_the_way) : typed_it)
        << c.layout << " " << c.text;
    EXPECT_EQ(presses, c.pressed) << c.layout << " " << c.text;
    xkb.keymap_unref(keymap);
  }
  xkb.context_unref(context);
}

}  // namespace
