// The key codes of Linux's input layer (evdev), shared by the backends that speak them.
#pragma once

#include <cstdint>

// Linux evdev key codes by macOS virtual key code, for every backend that speaks them (X11 adds
// 8, uinput and the Wayland protocols take them as they are); 0 for codes no key of the key table
// has. Keys whose macOS code names another key take the key of their code name: Insert,
// PrintScreen, ScrollLock and NumLock become those keys, not Help, F13, F14 and Clear.
// clang-format off
inline constexpr uint8_t evdev[128] = {
    //  0 A   1 S   2 D   3 F   4 H   5 G   6 Z   7 X   8 C   9 V  10 §  11 B  12 Q  13 W  14 E  15 R
        30,   31,   32,   33,   35,   34,   44,   45,   46,   47,   86,   48,   16,   17,   18,   19,
    // 16 Y  17 T  18 1  19 2  20 3  21 4  22 6  23 5  24 =  25 9  26 7  27 -  28 8  29 0  30 ]  31 O
        21,   20,    2,    3,    4,    5,    7,    6,   13,   10,    8,   12,    9,   11,   27,   24,
    // 32 U  33 [  34 I  35 P  36 ⏎  37 L  38 J  39 '  40 K  41 ;  42 \  43 ,  44 /  45 N  46 M  47 .
        22,   26,   23,   25,   28,   38,   36,   40,   37,   39,   43,   51,   53,   49,   50,   52,
    // 48 ⇥  49 ␣  50 `  51 ⌫  52    53 ⎋  54 ⌘R 55 ⌘L 56 ⇧L 57 ⇪  58 ⌥L 59 ⌃L 60 ⇧R 61 ⌥R 62 ⌃R 63
        15,   57,   41,   14,    0,    1,  126,  125,   42,   58,   56,   29,   54,  100,   97,    0,
    // 64    65 .  66    67 *  68    69 +  70    71 ⌧  72    73    74    75 /  76 ⏎  77    78 -  79
         0,   83,    0,   55,    0,   78,    0,   69,    0,    0,    0,   98,   96,    0,   74,    0,
    // 80    81 =  82 0  83 1  84 2  85 3  86 4  87 5  88 6  89 7  90    91 8  92 9  93    94    95
         0,  117,   82,   79,   80,   81,   75,   76,   77,   71,    0,   72,   73,    0,    0,    0,
    // 96F5  97F6  98F7  99F3 100F8 101F9 102  103F11 104 105PrtSc 106 107ScrLk 108 109F10 110Menu 111F12
        63,   64,   65,   61,   66,   67,    0,   87,    0,   99,    0,   70,    0,   68,  127,   88,
    //112   113  114Ins 115⇱ 116⇞ 117⌦ 118F4 119⇲ 120F2 121⇟ 122F1 123← 124→ 125↓ 126↑ 127
         0,    0,  110,  102,  104,  111,   62,  107,   60,  109,   59,  105,  106,  108,  103,    0,
};
// clang-format on

// The evdev code of a macOS virtual key, or 0.
inline constexpr unsigned evdev_of(unsigned mac) { return mac < 128 ? evdev[mac] : 0; }
