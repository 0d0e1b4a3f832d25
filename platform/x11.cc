// The X11 backend: posted events reach an X server through the XTEST extension, one at a time and
// flushed, so that each command's events are with the server before the next command is read.
// Xlib and XTEST are loaded only when a display is named: without one, hidpipe starts, runs and
// uses memory as if they were not there.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "deliver.h"

namespace {

// The functions used, from the libraries loaded at run time.
struct x_functions {
  decltype(&XOpenDisplay) open_display;
  decltype(&XCloseDisplay) close_display;
  decltype(&XFlush) flush;
  decltype(&XQueryPointer) query_pointer;
  decltype(&XSetErrorHandler) set_error_handler;
  decltype(&XSetIOErrorHandler) set_io_error_handler;
  decltype(&XSetIOErrorExitHandler) set_io_error_exit_handler;  // libX11 1.7 and later; may be null
  decltype(&XTestQueryExtension) query_extension;
  decltype(&XTestFakeKeyEvent) fake_key;
  decltype(&XTestFakeMotionEvent) fake_motion;
  decltype(&XTestFakeButtonEvent) fake_button;
  decltype(&XDisplayKeycodes) display_keycodes;
  decltype(&XGetKeyboardMapping) get_keyboard_mapping;
  decltype(&XChangeKeyboardMapping) change_keyboard_mapping;
  decltype(&XFree) free;
  decltype(&XSync) sync;
  decltype(&XCheckTypedEvent) check_typed_event;
};

x_functions lib;           // filled by load, once
bool loaded;               // whether load succeeded
Display *display;          // the X server, while connected
const char *display_name;  // from DISPLAY
bool lost;                 // the connection broke; nothing more is sent
char error[320];           // why the server cannot be reached or was lost, or empty
int64_t wheel_rest[2];     // scroll pixels not yet sent as a notch: vertical, horizontal

// Key codes that had no keysym and that typing bound to a character; they are given back their
// empty mapping when the session ends, not at once: a client that reads the new mapping only when
// it handles the notice of it must still find the character there.
struct binding {
  KeyCode code;   // the spare key code
  KeySym keysym;  // what it types now
};
binding bound[32];  // in the order they were taken
int bound_count;    // how many of bound are in use
int next_spare;     // which of them a character not on the layout takes next, once all are taken

// Pixels of a pixel scroll per wheel notch: a web page's wheel event reports 120 per notch, so
// W x y 0 120 is one notch down.
constexpr int64_t pixels_per_notch = 120;

// Linux evdev key codes by macOS virtual key code (X key code = evdev + 8); 0 for codes no key of
// the key table has. Keys whose macOS code names another key take the key of their code name:
// Insert, PrintScreen, ScrollLock and NumLock become those keys, not Help, F13, F14 and Clear.
// clang-format off
constexpr uint8_t evdev[128] = {
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

// The XTEST request carries 16-bit coordinates; clamping keeps a far position from wrapping
// around to a near one (the server then holds the pointer at the screen's edge).
int coordinate(double v) {
  if (v < -32768.0) return -32768;
  if (v > 32767.0) return 32767;
  return static_cast<int>(v);
}

// X button numbers by platform button: left 1, right 3, center 2, and back and forward (other
// buttons 3 and 4) 8 and 9, as X servers number a mouse's side buttons.
unsigned x_button(CGMouseButton b) {
  switch (static_cast<uint32_t>(b)) {
    case kCGMouseButtonLeft: return 1;
    case kCGMouseButtonRight: return 3;
    case 3: return 8;
    case 4: return 9;
    default: return 2;
  }
}

bool is_press(CGEventType t) {
  return t == kCGEventLeftMouseDown || t == kCGEventRightMouseDown || t == kCGEventOtherMouseDown;
}

bool is_release(CGEventType t) {
  return t == kCGEventLeftMouseUp || t == kCGEventRightMouseUp || t == kCGEventOtherMouseUp;
}

void mouse(const sim_record &r) {
  int x = coordinate(r.at.x), y = coordinate(r.at.y);
  if (!is_press(r.type) && !is_release(r.type)) {
    lib.fake_motion(display, -1, x, y, CurrentTime);
    return;
  }
  // Buttons act where the X pointer is; bring it to the event's place if something moved it.
  Window root = 0, child = 0;
  int root_x = 0, root_y = 0, win_x = 0, win_y = 0;
  unsigned mask = 0;
  if (lib.query_pointer(display, DefaultRootWindow(display), &root, &child, &root_x, &root_y, &win_x, &win_y,
                        &mask) == False ||
      root_x != x || root_y != y)
    lib.fake_motion(display, -1, x, y, CurrentTime);
  lib.fake_button(display, x_button(r.button), is_press(r.type) ? True : False, CurrentTime);
}

// Adds pixels to an axis's rest and clicks the wheel button once per whole notch in it.
void scroll_axis(int axis, int64_t pixels, unsigned positive_button, unsigned negative_button) {
  wheel_rest[axis] += pixels;
  int64_t notches = wheel_rest[axis] / pixels_per_notch;
  wheel_rest[axis] -= notches * pixels_per_notch;
  unsigned button = notches > 0 ? positive_button : negative_button;
  for (int64_t n = notches > 0 ? notches : -notches; n > 0; n--) {
    lib.fake_button(display, button, True, CurrentTime);
    lib.fake_button(display, button, False, CurrentTime);
  }
}

// The keysym that types code point c: the Latin-1 keysyms are the code points, control characters
// are the keys that type them, the rest Unicode keysyms; 0 for one no key types.
KeySym keysym_of(uint32_t c) {
  switch (c) {
    case '\t': return 0xff09;  // Tab
    case '\n':
    case '\r': return 0xff0d;    // Return
    case 0x08: return 0xff08;    // BackSpace
    case 0x1b: return 0xff1b;    // Escape
    case 0x7f: return 0xffff;    // Delete
    case 0x20ac: return 0x20ac;  // EuroSign, named before Unicode keysyms existed
    default: break;
  }
  if ((c >= 0x20 && c < 0x7f) || (c >= 0xa0 && c <= 0xff)) return c;
  if (c < 0xa0) return 0;
  return 0x01000000 + c;
}

// The server's keyboard mapping, read anew for each piece of text: the user may switch layouts.
struct keymap {
  int min, max;  // key codes
  int per;       // keysyms per key code
  KeySym *syms;  // per key code, its columns: 0 plain, 1 Shift, 4 level 3, 5 level 3 with Shift

  KeySym at(int code, int column) const {
    return column < per ? syms[(code - min) * per + column] : NoSymbol;
  }

  // The key code whose column holds ks, or 0.
  int find(KeySym ks, int column) const {
    for (int code = min; code <= max; code++)
      if (at(code, column) == ks) return code;
    return 0;
  }
};

// Presses and releases code, with Shift and the level 3 key around it when its column needs them.
void press_in_column(const keymap &m, int code, int column, bool shift_held) {
  int shift = column == 1 || column == 5 ? m.find(0xffe1, 0) : 0;  // Shift_L
  int level3 = column >= 4 ? m.find(0xfe03, 0) : 0;                // ISO_Level3_Shift
  // A Shift the user holds already does the work; pressing and releasing it would let it go.
  if (shift_held) shift = 0;
  const int modifiers[] = {shift, level3};
  for (int modifier : modifiers)
    if (modifier != 0) lib.fake_key(display, static_cast<unsigned>(modifier), True, CurrentTime);
  lib.fake_key(display, static_cast<unsigned>(code), True, CurrentTime);
  lib.fake_key(display, static_cast<unsigned>(code), False, CurrentTime);
  for (int i = 1; i >= 0; i--)
    if (modifiers[i] != 0) lib.fake_key(display, static_cast<unsigned>(modifiers[i]), False, CurrentTime);
}

// Whether code has no keysym at all and typing has not taken it.
bool spare(const keymap &m, int code) {
  for (int column = 0; column < m.per; column++)
    if (m.at(code, column) != NoSymbol) return false;
  for (int i = 0; i < bound_count; i++)
    if (bound[i].code == code) return false;
  return true;
}

// A spare key code bound to ks: one bound before, or a key code without keysyms taken now, or,
// once all that can be are taken, the next of them in turn. The change is waited for (a round
// trip: the server has then sent every client its notice of the new mapping, which reaches each
// before the key press does). 0 when there is none.
int bind_spare(const keymap &m, KeySym ks) {
  for (int i = 0; i < bound_count; i++)
    if (bound[i].keysym == ks) return bound[i].code;
  int slot = -1;
  for (int code = m.max; code >= m.min && slot < 0 && bound_count < static_cast<int>(std::size(bound));
       code--) {
    if (!spare(m, code)) continue;
    slot = bound_count++;
    bound[slot].code = static_cast<KeyCode>(code);
  }
  if (slot < 0) {
    if (bound_count == 0) return 0;
    slot = next_spare++ % bound_count;
  }
  bound[slot].keysym = ks;
  // Plain and with Shift alike, so that a held Shift does not change what it types.
  KeySym both[2] = {ks, ks};
  lib.change_keyboard_mapping(display, bound[slot].code, 2, both, 1);
  lib.sync(display, False);
  XEvent notice;
  while (lib.check_typed_event(display, MappingNotify, &notice) == True) {
  }
  return bound[slot].code;
}

// Gives the spare key codes back their empty mapping.
void unbind_spares() {
  KeySym none[2] = {NoSymbol, NoSymbol};
  for (int i = 0; i < bound_count; i++) lib.change_keyboard_mapping(display, bound[i].code, 2, none, 1);
  if (bound_count > 0) lib.sync(display, False);
  bound_count = next_spare = 0;
}

// The key code and column that type ks in the mapping, 0 when none does. The level 3 columns count
// only where some key selects level 3.
int find_key(const keymap &m, KeySym ks, int *column) {
  bool level3 = m.find(0xfe03, 0) != 0;
  for (int col : {0, 1, 4, 5}) {
    if (col >= 4 && !level3) break;
    if (int code = m.find(ks, col); code != 0) {
      *column = col;
      return code;
    }
  }
  return 0;
}

// Types the text a keyboard event carries, each character as a real key press: found in the
// server's current mapping, with Shift or the level 3 key as its column needs; a character that no
// key types is bound to a spare key code for it.
void type(const sim_record &r) {
  keymap m{};
  lib.display_keycodes(display, &m.min, &m.max);
  m.syms = lib.get_keyboard_mapping(display, static_cast<KeyCode>(m.min), m.max - m.min + 1, &m.per);
  if (m.syms == nullptr) return;
  bool shift_held = (r.flags & kCGEventFlagMaskShift) != 0;
  for (size_t i = 0; i < r.text_length; i++) {
    uint32_t c = r.text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < r.text_length)
      c = 0x10000 + ((c - 0xD800) << 10) + (r.text[++i] - 0xDC00u);
    KeySym ks = keysym_of(c);
    if (ks == 0) continue;
    int column = 0;
    int code = find_key(m, ks, &column);
    if (code == 0) code = bind_spare(m, ks);
    if (code != 0) press_in_column(m, code, column, shift_held);
  }
  lib.free(m.syms);
}

template <typename F>
bool find(void *library, const char *name, F *f) {
  *f = reinterpret_cast<F>(dlsym(library, name));
  return *f != nullptr;
}

// Loads Xlib and XTEST; false, with error set, when either or any function needed is missing.
bool load() {
  void *xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  void *xtst = xlib == nullptr ? nullptr : dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
  if (xlib == nullptr || xtst == nullptr) {
    const char *why = dlerror();
    snprintf(error, sizeof error, "cannot load the X libraries (Debian: libx11-6, libxtst6): %s",
             why != nullptr ? why : "not found");
    return false;
  }
  find(xlib, "XSetIOErrorExitHandler", &lib.set_io_error_exit_handler);
  loaded = find(xlib, "XOpenDisplay", &lib.open_display) && find(xlib, "XCloseDisplay", &lib.close_display) &&
           find(xlib, "XFlush", &lib.flush) && find(xlib, "XQueryPointer", &lib.query_pointer) &&
           find(xlib, "XSetErrorHandler", &lib.set_error_handler) &&
           find(xlib, "XSetIOErrorHandler", &lib.set_io_error_handler) &&
           find(xtst, "XTestQueryExtension", &lib.query_extension) &&
           find(xtst, "XTestFakeKeyEvent", &lib.fake_key) &&
           find(xtst, "XTestFakeMotionEvent", &lib.fake_motion) &&
           find(xtst, "XTestFakeButtonEvent", &lib.fake_button) &&
           find(xlib, "XDisplayKeycodes", &lib.display_keycodes) &&
           find(xlib, "XGetKeyboardMapping", &lib.get_keyboard_mapping) &&
           find(xlib, "XChangeKeyboardMapping", &lib.change_keyboard_mapping) &&
           find(xlib, "XFree", &lib.free) && find(xlib, "XSync", &lib.sync) &&
           find(xlib, "XCheckTypedEvent", &lib.check_typed_event);
  if (!loaded) snprintf(error, sizeof error, "the X libraries lack a function hidpipe needs");
  return loaded;
}

int ignore_error(Display * /*d*/, XErrorEvent * /*e*/) { return 0; }
// Marks the connection lost: the command loop then ends the session with status 1.
void mark_lost() {
  lost = true;
  snprintf(error, sizeof error, "lost the connection to the X server \"%s\"", display_name);
}

// Xlib calls this first on a broken connection, then its exit handler, which by default exits;
// libX11 before 1.7 has no other and exits with status 1 itself.
int quiet_io_error(Display * /*d*/) {
  mark_lost();
  return 0;
}
void keep_running(Display * /*d*/, void * /*data*/) { mark_lost(); }

}  // namespace

bool deliver_open() {
  if (display != nullptr) return true;
  error[0] = '\0';
  display_name = getenv("DISPLAY");
  if (display_name == nullptr || *display_name == '\0') return true;
  // hidpipe writes nothing and must not die of an X error: errors are dropped, and a broken
  // connection only ends delivery.
  if (!loaded && !load()) return false;
  lib.set_error_handler(ignore_error);
  lib.set_io_error_handler(quiet_io_error);
  display = lib.open_display(display_name);
  if (display == nullptr) {
    snprintf(error, sizeof error,
             "cannot open display \"%s\": no X server answers there, or it refused the connection",
             display_name);
    return false;
  }
  int event = 0, first_error = 0, major = 0, minor = 0;
  if (lib.query_extension(display, &event, &first_error, &major, &minor) == False) {
    lib.close_display(display);
    display = nullptr;
    snprintf(error, sizeof error, "the X server \"%s\" has no XTEST extension, which hidpipe posts through",
             display_name);
    return false;
  }
  if (lib.set_io_error_exit_handler != nullptr) lib.set_io_error_exit_handler(display, keep_running, nullptr);
  lost = false;
  wheel_rest[0] = wheel_rest[1] = 0;
  return true;
}

bool deliver(const sim_record &r) {
  if (display == nullptr) return true;
  if (lost) return false;
  switch (r.kind) {
    case sim_keyboard:
      // Text is typed on the key-down that carries it; its key-up has nothing left to do.
      if (r.text_length > 0) {
        if (r.down) type(r);
      } else if (r.keycode < 128 && evdev[r.keycode] != 0) {
        lib.fake_key(display, evdev[r.keycode] + 8u, r.down ? True : False, CurrentTime);
      }
      break;
    case sim_mouse: mouse(r); break;
    case sim_scroll:
      // Quartz's positive wheel values scroll up and left: X buttons 4 and 6.
      scroll_axis(0, r.wheel[0], 4, 5);
      if (r.wheels >= 2) scroll_axis(1, r.wheel[1], 6, 7);
      break;
  }
  if (!lost) lib.flush(display);
  return !lost;
}

void deliver_close() {
  if (display != nullptr && !lost) {
    unbind_spares();
    lib.close_display(display);
  }
  display = nullptr;
  bound_count = next_spare = 0;
}

const char *deliver_error() { return error[0] != '\0' ? error : nullptr; }
