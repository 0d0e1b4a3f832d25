// The key table: W3C KeyboardEvent code names, their PC scan codes (set 1; 0xE0 prefix in bits
// 8-15 for extended keys) and macOS virtual key codes. Row order is significant: held keys are
// parallel to it, and releases and the modifier scan run in it.
#pragma once

#include <cstdint>
#include <iterator>

struct key_entry {
  const char *name;  // code name, compared byte for byte
  int32_t scancode;  // PC scan code; kept for reference, never posted
  int32_t mac;       // macOS virtual key code
};

// clang-format off
inline constexpr key_entry keys[] = {
    {"KeyA",           0x1E,     0},  // 0
    {"KeyB",           0x30,    11},  // 1
    {"KeyC",           0x2E,     8},  // 2
    {"KeyD",           0x20,     2},  // 3
    {"KeyE",           0x12,    14},  // 4
    {"KeyF",           0x21,     3},  // 5
    {"KeyG",           0x22,     5},  // 6
    {"KeyH",           0x23,     4},  // 7
    {"KeyI",           0x17,    34},  // 8
    {"KeyJ",           0x24,    38},  // 9
    {"KeyK",           0x25,    40},  // 10
    {"KeyL",           0x26,    37},  // 11
    {"KeyM",           0x32,    46},  // 12
    {"KeyN",           0x31,    45},  // 13
    {"KeyO",           0x18,    31},  // 14
    {"KeyP",           0x19,    35},  // 15
    {"KeyQ",           0x10,    12},  // 16
    {"KeyR",           0x13,    15},  // 17
    {"KeyS",           0x1F,     1},  // 18
    {"KeyT",           0x14,    17},  // 19
    {"KeyU",           0x16,    32},  // 20
    {"KeyV",           0x2F,     9},  // 21
    {"KeyW",           0x11,    13},  // 22
    {"KeyX",           0x2D,     7},  // 23
    {"KeyY",           0x15,    16},  // 24
    {"KeyZ",           0x2C,     6},  // 25
    {"Digit0",         0x0B,    29},  // 26
    {"Digit1",         0x02,    18},  // 27
    {"Digit2",         0x03,    19},  // 28
    {"Digit3",         0x04,    20},  // 29
    {"Digit4",         0x05,    21},  // 30
    {"Digit5",         0x06,    23},  // 31
    {"Digit6",         0x07,    22},  // 32
    {"Digit7",         0x08,    26},  // 33
    {"Digit8",         0x09,    28},  // 34
    {"Digit9",         0x0A,    25},  // 35
    {"Numpad0",        0x52,    82},  // 36
    {"Numpad1",        0x4F,    83},  // 37
    {"Numpad2",        0x50,    84},  // 38
    {"Numpad3",        0x51,    85},  // 39
    {"Numpad4",        0x4B,    86},  // 40
    {"Numpad5",        0x4C,    87},  // 41
    {"Numpad6",        0x4D,    88},  // 42
    {"Numpad7",        0x47,    89},  // 43
    {"Numpad8",        0x48,    91},  // 44
    {"Numpad9",        0x49,    92},  // 45
    {"F1",             0x3B,   122},  // 46
    {"F2",             0x3C,   120},  // 47
    {"F3",             0x3D,    99},  // 48
    {"F4",             0x3E,   118},  // 49
    {"F5",             0x3F,    96},  // 50
    {"F6",             0x40,    97},  // 51
    {"F7",             0x41,    98},  // 52
    {"F8",             0x42,   100},  // 53
    {"F9",             0x43,   101},  // 54
    {"F10",            0x44,   109},  // 55
    {"F11",            0x57,   103},  // 56
    {"F12",            0x58,   111},  // 57
    {"ArrowUp",        0xE048, 126},  // 58
    {"ArrowDown",      0xE050, 125},  // 59
    {"ArrowLeft",      0xE04B, 123},  // 60
    {"ArrowRight",     0xE04D, 124},  // 61
    {"PageUp",         0xE049, 116},  // 62
    {"PageDown",       0xE051, 121},  // 63
    {"Home",           0xE047, 115},  // 64
    {"End",            0xE04F, 119},  // 65
    {"Insert",         0xE052, 114},  // 66
    {"Delete",         0xE053, 117},  // 67
    {"Backspace",      0x0E,    51},  // 68
    {"Tab",            0x0F,    48},  // 69
    {"Enter",          0x1C,    36},  // 70
    {"Escape",         0x01,    53},  // 71
    {"Space",          0x39,    49},  // 72
    {"CapsLock",       0x3A,    57},  // 73
    {"ShiftLeft",      0x2A,    56},  // 74
    {"ShiftRight",     0x36,    60},  // 75
    {"ControlLeft",    0x1D,    59},  // 76
    {"ControlRight",   0xE01D,  62},  // 77
    {"AltLeft",        0x38,    58},  // 78
    {"AltRight",       0xE038,  61},  // 79
    {"MetaLeft",       0xE05B,  55},  // 80
    {"MetaRight",      0xE05C,  54},  // 81
    {"Backquote",      0x29,    50},  // 82
    {"Minus",          0x0C,    27},  // 83
    {"Equal",          0x0D,    24},  // 84
    {"BracketLeft",    0x1A,    33},  // 85
    {"BracketRight",   0x1B,    30},  // 86
    {"Backslash",      0x2B,    42},  // 87
    {"IntlBackslash",  0x56,    10},  // 88
    {"Semicolon",      0x27,    41},  // 89
    {"Quote",          0x28,    39},  // 90
    {"Comma",          0x33,    43},  // 91
    {"Period",         0x34,    47},  // 92
    {"Slash",          0x35,    44},  // 93
    {"NumpadAdd",      0x4E,    69},  // 94
    {"NumpadSubtract", 0x4A,    78},  // 95
    {"NumpadDivide",   0xE035,  75},  // 96
    {"NumpadMultiply", 0x37,    67},  // 97
    {"NumpadDecimal",  0x53,    65},  // 98
    {"NumpadEnter",    0xE01C,  76},  // 99
    {"NumpadEqual",    0x59,    81},  // 100
    {"NumLock",        0x45,    71},  // 101
    {"ContextMenu",    0xE05D, 110},  // 102
    {"PrintScreen",    0xE037, 105},  // 103
    {"ScrollLock",     0x46,   107},  // 104
};
// clang-format on
static_assert(std::size(keys) == 105);

// The row of caps lock, which stays an ordinary key event although its code lies among the
// modifiers'.
inline constexpr int caps_lock_row = 73;
static_assert(keys[caps_lock_row].mac == 57);

// The row whose name is exactly name, or -1.
int find_key(const char *name);
