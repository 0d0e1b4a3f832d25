// Windows' codes for the keys of the key table, by macOS virtual key code: the virtual key and the
// PC scan code (set 1), which SendInput takes together. Both are sent because applications read
// either: games and remote desktops the scan code, most programs the virtual key, and Wine drops
// input with no virtual key. Extended keys carry 0xE0 in bits 8-15 of their scan code.
#pragma once

#include <array>
#include <cstdint>
#include <iterator>

struct windows_key {
  uint8_t vk;     // virtual key (VK_*)
  uint16_t scan;  // scan code; 0xE0 in bits 8-15 for an extended key
};

namespace windows_keys_detail {

struct row {
  uint8_t mac;    // macOS virtual key code
  uint8_t vk;     // virtual key
  uint16_t scan;  // scan code, with 0xE0 in bits 8-15 for an extended key
};

// One row per key of the key table. The virtual keys are the US layout's. For the keys that type
// characters (letters, digits, punctuation) the backend asks the user's layout instead, which
// gives the key at that place its own virtual key (on a French layout the key of KeyQ is VK 'A'),
// so that K presses a place on the keyboard, as on the other systems. The other keys keep these:
// layouts agree on them, and Wine's mapping from scan codes confuses some (the right Control).
// NumpadEqual's scan code 0x59 is VK_CLEAR on Windows' own layouts. NumLock is an extended key to
// SendInput (Windows toggles it only so), though its scan code has no 0xE0 prefix on the wire.
// clang-format off
inline constexpr row rows[] = {
    {  0, 0x41, 0x1E},  // KeyA            'A'
    { 11, 0x42, 0x30},  // KeyB            'B'
    {  8, 0x43, 0x2E},  // KeyC            'C'
    {  2, 0x44, 0x20},  // KeyD            'D'
    { 14, 0x45, 0x12},  // KeyE            'E'
    {  3, 0x46, 0x21},  // KeyF            'F'
    {  5, 0x47, 0x22},  // KeyG            'G'
    {  4, 0x48, 0x23},  // KeyH            'H'
    { 34, 0x49, 0x17},  // KeyI            'I'
    { 38, 0x4A, 0x24},  // KeyJ            'J'
    { 40, 0x4B, 0x25},  // KeyK            'K'
    { 37, 0x4C, 0x26},  // KeyL            'L'
    { 46, 0x4D, 0x32},  // KeyM            'M'
    { 45, 0x4E, 0x31},  // KeyN            'N'
    { 31, 0x4F, 0x18},  // KeyO            'O'
    { 35, 0x50, 0x19},  // KeyP            'P'
    { 12, 0x51, 0x10},  // KeyQ            'Q'
    { 15, 0x52, 0x13},  // KeyR            'R'
    {  1, 0x53, 0x1F},  // KeyS            'S'
    { 17, 0x54, 0x14},  // KeyT            'T'
    { 32, 0x55, 0x16},  // KeyU            'U'
    {  9, 0x56, 0x2F},  // KeyV            'V'
    { 13, 0x57, 0x11},  // KeyW            'W'
    {  7, 0x58, 0x2D},  // KeyX            'X'
    { 16, 0x59, 0x15},  // KeyY            'Y'
    {  6, 0x5A, 0x2C},  // KeyZ            'Z'
    { 29, 0x30, 0x0B},  // Digit0          '0'
    { 18, 0x31, 0x02},  // Digit1          '1'
    { 19, 0x32, 0x03},  // Digit2          '2'
    { 20, 0x33, 0x04},  // Digit3          '3'
    { 21, 0x34, 0x05},  // Digit4          '4'
    { 23, 0x35, 0x06},  // Digit5          '5'
    { 22, 0x36, 0x07},  // Digit6          '6'
    { 26, 0x37, 0x08},  // Digit7          '7'
    { 28, 0x38, 0x09},  // Digit8          '8'
    { 25, 0x39, 0x0A},  // Digit9          '9'
    { 82, 0x60, 0x52},  // Numpad0         VK_NUMPAD0
    { 83, 0x61, 0x4F},  // Numpad1         VK_NUMPAD1
    { 84, 0x62, 0x50},  // Numpad2         VK_NUMPAD2
    { 85, 0x63, 0x51},  // Numpad3         VK_NUMPAD3
    { 86, 0x64, 0x4B},  // Numpad4         VK_NUMPAD4
    { 87, 0x65, 0x4C},  // Numpad5         VK_NUMPAD5
    { 88, 0x66, 0x4D},  // Numpad6         VK_NUMPAD6
    { 89, 0x67, 0x47},  // Numpad7         VK_NUMPAD7
    { 91, 0x68, 0x48},  // Numpad8         VK_NUMPAD8
    { 92, 0x69, 0x49},  // Numpad9         VK_NUMPAD9
    {122, 0x70, 0x3B},  // F1              VK_F1
    {120, 0x71, 0x3C},  // F2              VK_F2
    { 99, 0x72, 0x3D},  // F3              VK_F3
    {118, 0x73, 0x3E},  // F4              VK_F4
    { 96, 0x74, 0x3F},  // F5              VK_F5
    { 97, 0x75, 0x40},  // F6              VK_F6
    { 98, 0x76, 0x41},  // F7              VK_F7
    {100, 0x77, 0x42},  // F8              VK_F8
    {101, 0x78, 0x43},  // F9              VK_F9
    {109, 0x79, 0x44},  // F10             VK_F10
    {103, 0x7A, 0x57},  // F11             VK_F11
    {111, 0x7B, 0x58},  // F12             VK_F12
    {126, 0x26, 0xE048},  // ArrowUp         VK_UP
    {125, 0x28, 0xE050},  // ArrowDown       VK_DOWN
    {123, 0x25, 0xE04B},  // ArrowLeft       VK_LEFT
    {124, 0x27, 0xE04D},  // ArrowRight      VK_RIGHT
    {116, 0x21, 0xE049},  // PageUp          VK_PRIOR
    {121, 0x22, 0xE051},  // PageDown        VK_NEXT
    {115, 0x24, 0xE047},  // Home            VK_HOME
    {119, 0x23, 0xE04F},  // End             VK_END
    {114, 0x2D, 0xE052},  // Insert          VK_INSERT
    {117, 0x2E, 0xE053},  // Delete          VK_DELETE
    { 51, 0x08, 0x0E},  // Backspace       VK_BACK
    { 48, 0x09, 0x0F},  // Tab             VK_TAB
    { 36, 0x0D, 0x1C},  // Enter           VK_RETURN
    { 53, 0x1B, 0x01},  // Escape          VK_ESCAPE
    { 49, 0x20, 0x39},  // Space           VK_SPACE
    { 57, 0x14, 0x3A},  // CapsLock        VK_CAPITAL
    { 56, 0xA0, 0x2A},  // ShiftLeft       VK_LSHIFT
    { 60, 0xA1, 0x36},  // ShiftRight      VK_RSHIFT
    { 59, 0xA2, 0x1D},  // ControlLeft     VK_LCONTROL
    { 62, 0xA3, 0xE01D},  // ControlRight    VK_RCONTROL
    { 58, 0xA4, 0x38},  // AltLeft         VK_LMENU
    { 61, 0xA5, 0xE038},  // AltRight        VK_RMENU
    { 55, 0x5B, 0xE05B},  // MetaLeft        VK_LWIN
    { 54, 0x5C, 0xE05C},  // MetaRight       VK_RWIN
    { 50, 0xC0, 0x29},  // Backquote       VK_OEM_3
    { 27, 0xBD, 0x0C},  // Minus           VK_OEM_MINUS
    { 24, 0xBB, 0x0D},  // Equal           VK_OEM_PLUS
    { 33, 0xDB, 0x1A},  // BracketLeft     VK_OEM_4
    { 30, 0xDD, 0x1B},  // BracketRight    VK_OEM_6
    { 42, 0xDC, 0x2B},  // Backslash       VK_OEM_5
    { 10, 0xE2, 0x56},  // IntlBackslash   VK_OEM_102
    { 41, 0xBA, 0x27},  // Semicolon       VK_OEM_1
    { 39, 0xDE, 0x28},  // Quote           VK_OEM_7
    { 43, 0xBC, 0x33},  // Comma           VK_OEM_COMMA
    { 47, 0xBE, 0x34},  // Period          VK_OEM_PERIOD
    { 44, 0xBF, 0x35},  // Slash           VK_OEM_2
    { 69, 0x6B, 0x4E},  // NumpadAdd       VK_ADD
    { 78, 0x6D, 0x4A},  // NumpadSubtract  VK_SUBTRACT
    { 75, 0x6F, 0xE035},  // NumpadDivide    VK_DIVIDE
    { 67, 0x6A, 0x37},  // NumpadMultiply  VK_MULTIPLY
    { 65, 0x6E, 0x53},  // NumpadDecimal   VK_DECIMAL
    { 76, 0x0D, 0xE01C},  // NumpadEnter     VK_RETURN
    { 81, 0x0C, 0x59},  // NumpadEqual     VK_CLEAR
    { 71, 0x90, 0xE045},  // NumLock         VK_NUMLOCK
    {110, 0x5D, 0xE05D},  // ContextMenu     VK_APPS
    {105, 0x2C, 0xE037},  // PrintScreen     VK_SNAPSHOT
    {107, 0x91, 0x46},  // ScrollLock      VK_SCROLL
};
// clang-format on
static_assert(std::size(rows) == 105, "one row per key of the key table");

}  // namespace windows_keys_detail

// Whether a virtual key is one of the keys that type characters, whose virtual key the layout
// decides.
inline constexpr bool types_character(uint8_t vk) {
  return (vk >= '0' && vk <= 'Z') || (vk >= 0xBA && vk <= 0xE2);
}

// The same rows by macOS virtual key code; {0, 0} for codes no key has.
inline constexpr std::array<windows_key, 128> windows_keys = [] {
  std::array<windows_key, 128> t{};
  for (const windows_keys_detail::row &r : windows_keys_detail::rows) t.at(r.mac) = {r.vk, r.scan};
  return t;
}();
