// Text on X11: each character typed as a real key press, found in the server's current keyboard
// mapping, or bound for the rest of the session to a key code that has no keysym.
#include <cstdint>
#include <iterator>

#include "x11.h"

namespace {

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

void tap(int code) {
  x_lib.fake_key(x_display, static_cast<unsigned>(code), True, CurrentTime);
  x_lib.fake_key(x_display, static_cast<unsigned>(code), False, CurrentTime);
}

// Presses and releases code, with Shift and the level 3 key around it when its column needs them.
void press_in_column(const keymap &m, int code, int column, bool shift_held) {
  int shift = column == 1 || column == 5 ? m.find(0xffe1, 0) : 0;  // Shift_L
  int level3 = column >= 4 ? m.find(0xfe03, 0) : 0;                // ISO_Level3_Shift
  // A Shift the user holds already does the work; pressing and releasing it would let it go.
  if (shift_held) shift = 0;
  const int modifiers[] = {shift, level3};
  for (int modifier : modifiers)
    if (modifier != 0) x_lib.fake_key(x_display, static_cast<unsigned>(modifier), True, CurrentTime);
  tap(code);
  for (int i = 1; i >= 0; i--)
    if (modifiers[i] != 0) x_lib.fake_key(x_display, static_cast<unsigned>(modifiers[i]), False, CurrentTime);
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
  x_lib.change_keyboard_mapping(x_display, bound[slot].code, 2, both, 1);
  x_lib.sync(x_display, False);
  XEvent notice;
  while (x_lib.check_typed_event(x_display, MappingNotify, &notice) == True) {
  }
  return bound[slot].code;
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

}  // namespace

// Found in the server's current mapping, with Shift or the level 3 key as its column needs; a
// character that no key types is bound to a spare key code for it.
void x_type(const cg_record &r) {
  keymap m{};
  x_lib.display_keycodes(x_display, &m.min, &m.max);
  m.syms = x_lib.get_keyboard_mapping(x_display, static_cast<KeyCode>(m.min), m.max - m.min + 1, &m.per);
  if (m.syms == nullptr) return;
  bool shift_held = (r.flags & kCGEventFlagMaskShift) != 0;
  // Caps Lock would give letters their other case, and clients turn even a bound letter to its
  // capital: it is switched off for the time of the text, and on again after it.
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  int caps = 0;
  if (x_lib.query_pointer(x_display, DefaultRootWindow(x_display), &root, &child, &rx, &ry, &wx, &wy,
                          &mask) &&
      (mask & LockMask) != 0)
    caps = m.find(0xffe5, 0);  // Caps_Lock
  if (caps != 0) tap(caps);
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
  if (caps != 0) tap(caps);
  x_lib.free(m.syms);
}

void x_release_spares(bool connected) {
  KeySym none[2] = {NoSymbol, NoSymbol};
  for (int i = 0; connected && i < bound_count; i++)
    x_lib.change_keyboard_mapping(x_display, bound[i].code, 2, none, 1);
  if (connected && bound_count > 0) x_lib.sync(x_display, False);
  bound_count = next_spare = 0;
}
