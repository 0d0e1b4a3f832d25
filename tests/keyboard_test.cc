// The key table and the K command's events.
#include <set>
#include <string>

#include "command/command.h"
#include "fixture.h"
#include "keyboard/key.h"

namespace {

// How a key reaches the platform: an ordinary key event, or a flags-changed event with its bit.
enum role : CGEventFlags {
  plain = 0,
  cmd = kCGEventFlagMaskCommand,
  shift = kCGEventFlagMaskShift,
  alt = kCGEventFlagMaskAlternate,
  ctrl = kCGEventFlagMaskControl,
};

struct expected_key {
  const char *name;
  int32_t scancode;
  int32_t mac;
  role kind;
};

// Every row in table order, as the published key table gives it.
// clang-format off
const expected_key expected[] = {
    {"KeyA",           0x1E,     0, plain},
    {"KeyB",           0x30,    11, plain},
    {"KeyC",           0x2E,     8, plain},
    {"KeyD",           0x20,     2, plain},
    {"KeyE",           0x12,    14, plain},
    {"KeyF",           0x21,     3, plain},
    {"KeyG",           0x22,     5, plain},
    {"KeyH",           0x23,     4, plain},
    {"KeyI",           0x17,    34, plain},
    {"KeyJ",           0x24,    38, plain},
    {"KeyK",           0x25,    40, plain},
    {"KeyL",           0x26,    37, plain},
    {"KeyM",           0x32,    46, plain},
    {"KeyN",           0x31,    45, plain},
    {"KeyO",           0x18,    31, plain},
    {"KeyP",           0x19,    35, plain},
    {"KeyQ",           0x10,    12, plain},
    {"KeyR",           0x13,    15, plain},
    {"KeyS",           0x1F,     1, plain},
    {"KeyT",           0x14,    17, plain},
    {"KeyU",           0x16,    32, plain},
    {"KeyV",           0x2F,     9, plain},
    {"KeyW",           0x11,    13, plain},
    {"KeyX",           0x2D,     7, plain},
    {"KeyY",           0x15,    16, plain},
    {"KeyZ",           0x2C,     6, plain},
    {"Digit0",         0x0B,    29, plain},
    {"Digit1",         0x02,    18, plain},
    {"Digit2",         0x03,    19, plain},
    {"Digit3",         0x04,    20, plain},
    {"Digit4",         0x05,    21, plain},
    {"Digit5",         0x06,    23, plain},
    {"Digit6",         0x07,    22, plain},
    {"Digit7",         0x08,    26, plain},
    {"Digit8",         0x09,    28, plain},
    {"Digit9",         0x0A,    25, plain},
    {"Numpad0",        0x52,    82, plain},
    {"Numpad1",        0x4F,    83, plain},
    {"Numpad2",        0x50,    84, plain},
    {"Numpad3",        0x51,    85, plain},
    {"Numpad4",        0x4B,    86, plain},
    {"Numpad5",        0x4C,    87, plain},
    {"Numpad6",        0x4D,    88, plain},
    {"Numpad7",        0x47,    89, plain},
    {"Numpad8",        0x48,    91, plain},
    {"Numpad9",        0x49,    92, plain},
    {"F1",             0x3B,   122, plain},
    {"F2",             0x3C,   120, plain},
    {"F3",             0x3D,    99, plain},
    {"F4",             0x3E,   118, plain},
    {"F5",             0x3F,    96, plain},
    {"F6",             0x40,    97, plain},
    {"F7",             0x41,    98, plain},
    {"F8",             0x42,   100, plain},
    {"F9",             0x43,   101, plain},
    {"F10",            0x44,   109, plain},
    {"F11",            0x57,   103, plain},
    {"F12",            0x58,   111, plain},
    {"ArrowUp",        0xE048, 126, plain},
    {"ArrowDown",      0xE050, 125, plain},
    {"ArrowLeft",      0xE04B, 123, plain},
    {"ArrowRight",     0xE04D, 124, plain},
    {"PageUp",         0xE049, 116, plain},
    {"PageDown",       0xE051, 121, plain},
    {"Home",           0xE047, 115, plain},
    {"End",            0xE04F, 119, plain},
    {"Insert",         0xE052, 114, plain},
    {"Delete",         0xE053, 117, plain},
    {"Backspace",      0x0E,    51, plain},
    {"Tab",            0x0F,    48, plain},
    {"Enter",          0x1C,    36, plain},
    {"Escape",         0x01,    53, plain},
    {"Space",          0x39,    49, plain},
    {"CapsLock",       0x3A,    57, plain},
    {"ShiftLeft",      0x2A,    56, shift},
    {"ShiftRight",     0x36,    60, shift},
    {"ControlLeft",    0x1D,    59, ctrl},
    {"ControlRight",   0xE01D,  62, ctrl},
    {"AltLeft",        0x38,    58, alt},
    {"AltRight",       0xE038,  61, alt},
    {"MetaLeft",       0xE05B,  55, cmd},
    {"MetaRight",      0xE05C,  54, cmd},
    {"Backquote",      0x29,    50, plain},
    {"Minus",          0x0C,    27, plain},
    {"Equal",          0x0D,    24, plain},
    {"BracketLeft",    0x1A,    33, plain},
    {"BracketRight",   0x1B,    30, plain},
    {"Backslash",      0x2B,    42, plain},
    {"IntlBackslash",  0x56,    10, plain},
    {"Semicolon",      0x27,    41, plain},
    {"Quote",          0x28,    39, plain},
    {"Comma",          0x33,    43, plain},
    {"Period",         0x34,    47, plain},
    {"Slash",          0x35,    44, plain},
    {"NumpadAdd",      0x4E,    69, plain},
    {"NumpadSubtract", 0x4A,    78, plain},
    {"NumpadDivide",   0xE035,  75, plain},
    {"NumpadMultiply", 0x37,    67, plain},
    {"NumpadDecimal",  0x53,    65, plain},
    {"NumpadEnter",    0xE01C,  76, plain},
    {"NumpadEqual",    0x59,    81, plain},
    {"NumLock",        0x45,    71, plain},
    {"ContextMenu",    0xE05D, 110, plain},
    {"PrintScreen",    0xE037, 105, plain},
    {"ScrollLock",     0x46,   107, plain},
};
// clang-format on

using keyboard = program;

// Each row, pressed and released through the protocol on its own: its name finds it, the right
// virtual key is posted, modifiers as flags-changed events carrying their bit while held.
TEST_F(keyboard, every_row_posts_its_virtual_key) {
  ASSERT_EQ(std::size(expected), std::size(keys));
  for (size_t row = 0; row < std::size(expected); row++) {
    const expected_key &e = expected[row];
    SCOPED_TRACE(e.name);
    EXPECT_STREQ(keys[row].name, e.name);
    EXPECT_EQ(keys[row].scancode, e.scancode);
    EXPECT_EQ(find_key(e.name), static_cast<int>(row));

    handle((std::string("K ") + e.name + " 1\n").c_str());
    handle((std::string("K ") + e.name + " 0\n").c_str());
    auto posted = take();
    ASSERT_EQ(posted.size(), 2u);
    for (int i = 0; i < 2; i++) {
      const cg_record &r = posted[i];
      bool down = i == 0;
      EXPECT_EQ(r.kind, cg_keyboard);
      EXPECT_EQ(r.keycode, e.mac);
      EXPECT_EQ(r.tap, kCGHIDEventTap);
      EXPECT_EQ(r.type, e.kind != plain ? kCGEventFlagsChanged : down ? kCGEventKeyDown : kCGEventKeyUp);
      EXPECT_EQ(r.flags, down ? CGEventFlags{e.kind} : 0u);
    }
    EXPECT_EQ(held_keys[row], 0);
  }
}

TEST_F(keyboard, table_names_are_unique_and_short) {
  std::set<std::string> names;
  for (const key_entry &k : keys) {
    EXPECT_TRUE(names.insert(k.name).second) << k.name;
    // A K command reads at most 31 characters of a name.
    EXPECT_LT(strlen(k.name), 32u);
    EXPECT_EQ(k.scancode & ~0xffff, 0) << k.name;
  }
}

// One row per scenario: the commands, then the events they must post (type, key, flags).
struct key_case {
  const char *what;
  const char *commands;
  std::vector<std::tuple<CGEventType, CGKeyCode, CGEventFlags>> events;
};

void PrintTo(const key_case &c, std::ostream *os) { *os << c.what; }

class key_cases : public program, public ::testing::WithParamInterface<key_case> {};

TEST_P(key_cases, post) {
  const key_case &c = GetParam();
  std::string text = c.commands;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    handle(text.substr(start, end - start + 1).c_str());
  }
  auto posted = take();
  ASSERT_EQ(posted.size(), c.events.size());
  for (size_t i = 0; i < posted.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(posted[i].type, std::get<0>(c.events[i]));
    EXPECT_EQ(posted[i].keycode, std::get<1>(c.events[i]));
    EXPECT_EQ(posted[i].flags, std::get<2>(c.events[i]));
  }
}

constexpr auto down = kCGEventKeyDown, up = kCGEventKeyUp, changed = kCGEventFlagsChanged;
constexpr CGEventFlags shift_bit = kCGEventFlagMaskShift, ctrl_bit = kCGEventFlagMaskControl;

INSTANTIATE_TEST_SUITE_P(
    keyboard, key_cases,
    ::testing::Values(
        // Names are case-sensitive: a near miss is just an unknown key.
        key_case{"case", "K keya 1\nK KEYA 1\nK Shiftleft 1\n", {}},
        // A second press posts again; one release ends the hold.
        key_case{
            "twice", "K KeyA 1\nK KeyA 1\nK KeyA 0\nK KeyA 0\n", {{down, 0, 0}, {down, 0, 0}, {up, 0, 0}}},
        key_case{"never pressed", "K KeyA 0\nK ShiftLeft 0\n", {}},
        key_case{"shift",
                 "K ShiftLeft 1\nK ShiftLeft 1\nK ShiftLeft 0\nK ShiftLeft 0\n",
                 {{changed, 56, shift_bit}, {changed, 56, shift_bit}, {changed, 56, 0}}},
        // Caps lock sits among the modifier codes but stays a plain key and adds no flag.
        key_case{"caps lock",
                 "K CapsLock 1\nK KeyA 1\nK CapsLock 0\n",
                 {{down, 57, 0}, {down, 0, 0}, {up, 57, 0}}},
        // Either Shift keeps the bit while the other is held.
        key_case{
            "both shifts",
            "K ShiftLeft 1\nK ShiftRight 1\nK ShiftLeft 0\nK ShiftRight 0\n",
            {{changed, 56, shift_bit}, {changed, 60, shift_bit}, {changed, 56, shift_bit}, {changed, 60, 0}}},
        // R releases in table order; each release carries what is still held.
        key_case{"release order",
                 "K ControlLeft 1\nK KeyC 1\nR\n",
                 {{changed, 59, ctrl_bit}, {down, 8, ctrl_bit}, {up, 8, ctrl_bit}, {changed, 59, 0}}},
        key_case{"all four modifiers",
                 "K MetaRight 1\nK AltRight 1\nK ControlRight 1\nK ShiftRight 1\nK KeyZ 1\n",
                 {{changed, 54, kCGEventFlagMaskCommand},
                  {changed, 61, kCGEventFlagMaskCommand | kCGEventFlagMaskAlternate},
                  {changed, 62, kCGEventFlagMaskCommand | kCGEventFlagMaskAlternate | ctrl_bit},
                  {changed, 60, kCGEventFlagMaskCommand | kCGEventFlagMaskAlternate | ctrl_bit | shift_bit},
                  {down, 6, kCGEventFlagMaskCommand | kCGEventFlagMaskAlternate | ctrl_bit | shift_bit}}}),
    [](const ::testing::TestParamInfo<key_case> &param) {
      std::string n = param.param.what;
      for (char &ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

// A failed creation still changes what is held: the release that follows finds the key down.
TEST_F(keyboard, failed_creation_keeps_state) {
  cg_fail(cg_fail_keyboard, true);
  handle("K ShiftLeft 1\n");
  EXPECT_EQ(held_keys[74], 1);
  cg_fail(cg_fail_keyboard, false);
  handle("K KeyA 1\n");
  auto posted = take();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].flags, shift_bit);
  release_keys();
  posted = take();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].keycode, 0);
  EXPECT_EQ(posted[1].keycode, 56);
}

}  // namespace
