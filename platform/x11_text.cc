// Text on X11: each character typed as a real key press, found in the server's keyboard mapping, or
// bound to a spare key code (one without keysyms) for as long as applications may still need it.
// Applications read a changed mapping lazily, when they handle its notice, which may be long after
// the server sent it: a spare code keeps its character until a hold time has passed since its last
// press. The spare codes are shared by every client of the server, so they are claimed with the
// server grabbed, in a record on the root window of which session holds each, with what, and until
// when: two sessions never rebind each other's codes, and a dead session's codes are taken back.
#include <X11/Xatom.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>

#include "backend.h"
#include "host.h"
#include "utf8.h"
#include "x11.h"

namespace {

// How long a spare code keeps its character after its last press. Measured on Xvfb, typing 200
// distinct characters: xev and an Xlib application read the mapping within 5 ms, Chromium within
// 20 ms (also with both cores busy), an application that takes 1 ms a key within 50 ms; four times
// the slowest. It costs that long at the end of a session that typed off the layout, and once for
// each round of rebinding when more distinct characters are needed than there are spare codes.
constexpr uint32_t hold_ms = 200;

// How long applications get to read a mapping hidpipe changed before it presses the codes: some
// (Chromium) ask for the new mapping when they hear of the change, and meanwhile translate the
// presses that follow with the old one.
constexpr uint32_t bind_wait_ms = 20;

// One entry of the record: the root window's _HIDPIPE_KEYCODES, five 32-bit values an entry, which
// Xlib hands over as longs.
struct claim {
  unsigned long code;    // the spare key code
  unsigned long owner;   // the window of the session that bound it
  unsigned long token;   // that session's token, as its window's _HIDPIPE_SESSION holds it
  unsigned long keysym;  // what it types
  unsigned long until;   // the server time (ms) before which it must not be rebound
};
constexpr int claim_longs = 5;
static_assert(sizeof(claim) == claim_longs * sizeof(long), "a claim is five longs, as Xlib passes them");

claim claims[256];       // the record as last read
int claim_count;         // how many of claims are in use
bool claims_changed;     // claims differ from the record on the server
bool claimed[256];       // per key code: in the record as last read, so not part of the layout
KeySym *syms;            // the mapping as last read: per key code, its columns
int min_code, max_code;  // the key codes the mapping covers
int per;                 // keysyms per key code
bool stale = true;       // the mapping changed since it was read (or was never read)
Window window;           // this session's own window, once it claimed a code; 0 before
unsigned long token;     // the session's token, on its window
Atom record_atom;        // _HIDPIPE_KEYCODES
Atom session_atom;       // _HIDPIPE_SESSION
int xkb_event = -1;      // the type of XKB's events, where the server has XKB
Time server_now;         // the server's time when the record was last read under the grab
uint64_t last_spare_ns;  // when this session last pressed a spare code, CLOCK_MONOTONIC ns; 0 never
bool interrupted;        // a wait was cut short by a signal: the session is ending

uint64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// Sleeps ms milliseconds; false when a stop signal cut it short (the ending's grace bounds it too).
bool pause_ms(uint64_t ms) {
  if (host_sleep(static_cast<unsigned>(ms))) return true;
  interrupted = !host_ending();
  return false;
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

KeySym at(int code, int column) {
  return syms != nullptr && code >= min_code && code <= max_code && column < per
             ? syms[(code - min_code) * per + column]
             : NoSymbol;
}

// The key code that is not a spare and whose column holds ks, or 0.
int find(KeySym ks, int column) {
  for (int code = min_code; code <= max_code; code++)
    if (!claimed[code] && at(code, column) == ks) return code;
  return 0;
}

// Whether code has no keysym at all.
bool empty(int code) {
  for (int column = 0; column < per; column++)
    if (at(code, column) != NoSymbol) return false;
  return true;
}

// A 32-bit value of a property as Xlib gives it: in a long, sign-extended where longs are wider.
unsigned long low32(unsigned long v) { return v & 0xffffffffu; }

void read_mapping() {
  if (syms != nullptr) x_lib.free(syms);
  x_lib.display_keycodes(x_display, &min_code, &max_code);
  syms = x_lib.get_keyboard_mapping(x_display, static_cast<KeyCode>(min_code), max_code - min_code + 1, &per);
  if (syms == nullptr) per = 0;
  stale = false;
}

// Reads the record. Codes it names are spares, not part of the layout.
void read_record() {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  claim_count = 0;
  if (x_lib.get_window_property(x_display, DefaultRootWindow(x_display), record_atom, 0,
                                static_cast<long>(std::size(claims)) * claim_longs, False, XA_CARDINAL, &type,
                                &format, &count, &after, &data) == Success &&
      type == XA_CARDINAL && format == 32 && data != nullptr) {
    const auto *longs = reinterpret_cast<const unsigned long *>(data);
    for (unsigned long i = 0; i + claim_longs <= count && claim_count < static_cast<int>(std::size(claims));
         i += claim_longs) {
      claim c = {low32(longs[i]), low32(longs[i + 1]), low32(longs[i + 2]), low32(longs[i + 3]),
                 low32(longs[i + 4])};
      if (c.code < std::size(claimed)) claims[claim_count++] = c;
    }
  }
  if (data != nullptr) x_lib.free(data);
  for (bool &c : claimed) c = false;
  for (int i = 0; i < claim_count; i++) claimed[claims[i].code] = true;
  claims_changed = false;
}

void write_record() {
  if (!claims_changed) return;
  Window root = DefaultRootWindow(x_display);
  if (claim_count == 0)
    x_lib.delete_property(x_display, root, record_atom);
  else
    x_lib.change_property(x_display, root, record_atom, XA_CARDINAL, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char *>(claims), claim_count * claim_longs);
  claims_changed = false;
}

// Takes the mapping notices that came, this session's own bindings' among them: each makes the
// mapping stale. Reads what has arrived without waiting for more. Xlib holds back the notices after
// one until it is told that the mapping was read again.
void take_notices() {
  x_lib.events_queued(x_display, QueuedAfterReading);
  XEvent e;
  while (xkb_event >= 0 && x_lib.check_typed_event(x_display, xkb_event, &e) == True) {
  }
  while (x_lib.check_typed_event(x_display, MappingNotify, &e) == True) {
    x_lib.refresh_keyboard_mapping(&e.xmapping);
    if (e.xmapping.request == MappingKeyboard) stale = true;
  }
}

// The server's time now, from the notice of a change of nothing to the session's window, asked
// before the round trip whose reply it precedes.
void ask_time() {
  x_lib.change_property(x_display, window, session_atom, XA_CARDINAL, 32, PropModeAppend, nullptr, 0);
}
void take_time() {
  XEvent e;
  while (x_lib.check_typed_window_event(x_display, window, PropertyNotify, &e) == True)
    server_now = e.xproperty.time;
}

// Whether server time a is before b, across the 49 days after which it wraps.
bool before(unsigned long a, unsigned long b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a - b)) < 0;
}

// Whether the session that made a claim is still connected: its window exists and holds its token.
// A window of a dead session's number may have been made again by another client since.
bool alive(const claim &c) {
  if (c.owner == window && c.token == token) return true;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  bool same = x_lib.get_window_property(x_display, c.owner, session_atom, 0, 1, False, XA_CARDINAL, &type,
                                        &format, &count, &after, &data) == Success &&
              type == XA_CARDINAL && format == 32 && count == 1 && data != nullptr &&
              low32(*reinterpret_cast<const unsigned long *>(data)) == c.token;
  if (data != nullptr) x_lib.free(data);
  return same;
}

// The session's window, which tells other sessions that it lives, and a token that no session of
// the same window number had before. And the notices of mapping changes: a client that Xlib set up
// for XKB hears of them only when it asks XKB for them (Xlib then gives the core notice too).
bool make_window() {
  if (window != 0) return true;
  int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  xkb_event = -1;
  if (x_lib.xkb_query_extension(x_display, &opcode, &xkb_event, &error, &major, &minor) == True) {
    constexpr unsigned long changes = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    x_lib.xkb_select_events(x_display, XkbUseCoreKbd, changes, changes);
  } else {
    xkb_event = -1;
  }
  record_atom = x_lib.intern_atom(x_display, "_HIDPIPE_KEYCODES", False);
  session_atom = x_lib.intern_atom(x_display, "_HIDPIPE_SESSION", False);
  XSetWindowAttributes attributes = {};
  window = x_lib.create_window(x_display, DefaultRootWindow(x_display), -1, -1, 1, 1, 0, 0, InputOnly,
                               CopyFromParent, 0, &attributes);
  if (window == 0) return false;
  x_lib.select_input(x_display, window, PropertyChangeMask);
  uint64_t seed = monotonic_ns() ^ (static_cast<uint64_t>(getpid()) << 32);
  seed = (seed ^ (seed >> 31)) * 0x7fb5d329728ea185u;
  token = static_cast<unsigned long>((seed ^ (seed >> 27)) & 0xffffffffu);
  x_lib.change_property(x_display, window, session_atom, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(&token), 1);
  return true;
}

void tap(int code) {
  x_lib.fake_key(x_display, static_cast<unsigned>(code), True, CurrentTime);
  x_lib.fake_key(x_display, static_cast<unsigned>(code), False, CurrentTime);
}

// Presses and releases code, with Shift and the level 3 key around it when its column needs them.
void press_in_column(int code, int column, bool shift_held) {
  int shift = column == 1 || column == 5 ? find(0xffe1, 0) : 0;  // Shift_L
  int level3 = column >= 4 ? find(0xfe03, 0) : 0;                // ISO_Level3_Shift
  // A Shift the user holds already does the work; pressing and releasing it would let it go.
  if (shift_held) shift = 0;
  const int modifiers[] = {shift, level3};
  for (int modifier : modifiers)
    if (modifier != 0) x_lib.fake_key(x_display, static_cast<unsigned>(modifier), True, CurrentTime);
  tap(code);
  for (int i = 1; i >= 0; i--)
    if (modifiers[i] != 0) x_lib.fake_key(x_display, static_cast<unsigned>(modifiers[i]), False, CurrentTime);
}

// The key code and column that type ks on the layout (plain, Shift, level 3 with and without
// Shift: the level 3 columns only where some key selects level 3), or 0.
int on_layout(KeySym ks, int *column) {
  bool level3 = find(0xfe03, 0) != 0;
  for (int c : {0, 1, 4, 5}) {
    if (c >= 4 && !level3) break;
    if (int code = find(ks, c); code != 0) {
      *column = c;
      return code;
    }
  }
  return 0;
}

// The claim by which this session types ks, or -1.
int own_claim(KeySym ks) {
  for (int k = 0; k < claim_count; k++)
    if (claims[k].keysym == ks && claims[k].owner == window && claims[k].token == token) return k;
  return -1;
}

// The claim to bind ks to, under the grab: a code no one binds, else a dead session's, else the one
// whose hold passed longest ago. -1 when every spare code is held (then *wait_ms says for how long
// yet), -2 when the server has no spare code at all.
int choose_claim(uint64_t *wait_ms) {
  for (int code = max_code; code >= min_code; code--) {
    if (claimed[code] || !empty(code) || claim_count >= static_cast<int>(std::size(claims))) continue;
    claims[claim_count] = {static_cast<unsigned long>(code), 0, 0, 0, 0};
    claimed[code] = true;
    return claim_count++;
  }
  int best = -1;
  bool best_dead = false;
  unsigned long soonest = 0;
  for (int i = 0; i < claim_count; i++) {
    const claim &c = claims[i];
    if (before(server_now, c.until)) {
      if (soonest == 0 || before(c.until, soonest)) soonest = c.until;
      continue;
    }
    bool dead = !alive(c);
    if (best < 0 || (dead && !best_dead) || (dead == best_dead && before(c.until, claims[best].until))) {
      best = i;
      best_dead = dead;
    }
  }
  if (best >= 0) return best;
  if (claim_count == 0) return -2;
  *wait_ms = static_cast<uint32_t>(soonest - server_now) + 1;
  return -1;
}

// Grabs the server and reads the record, the server's time and, when it changed, the mapping;
// claims whose code someone else has bound since (a new layout, another program) are no longer
// spares.
void begin_grab() {
  x_lib.grab_server(x_display);
  ask_time();
  read_record();
  take_time();
  take_notices();
  if (stale) read_mapping();
  for (int i = 0; i < claim_count;) {
    if (at(static_cast<int>(claims[i].code), 0) == claims[i].keysym) {
      i++;
      continue;
    }
    claimed[claims[i].code] = false;
    claims[i] = claims[--claim_count];
    claims_changed = true;
  }
}

void end_grab() {
  write_record();
  x_lib.ungrab_server(x_display);
  x_lib.flush(x_display);
}

// Binds spare codes, under the grab, to the characters of wanted[from, count) that are not on the
// layout and have none, as many as can be had; they are pressed once applications have read them.
// Returns how many it bound. A character that no code can ever be had for is noted and made 0 (left
// out); when every spare code is held, *wait_ms says for how long yet.
size_t bind_batch(KeySym *wanted, const uint32_t *chars, size_t from, size_t count, uint64_t *wait_ms) {
  size_t bound = 0;
  for (size_t i = from; i < count; i++) {
    int column = 0;
    KeySym ks = wanted[i];
    if (ks == 0 || on_layout(ks, &column) != 0 || own_claim(ks) >= 0) continue;
    int slot = choose_claim(wait_ms);
    if (slot == -1) break;
    if (slot == -2) {
      char text[5];
      note_delivery(
          "T: cannot type U+%04X (%s): no key types it, and the X server has no spare key code to "
          "bind it to",
          static_cast<unsigned>(chars[i]), utf8_of(chars[i], text));
      wanted[i] = 0;
      continue;
    }
    claim &c = claims[slot];
    // Plain and with Shift alike, so that a held Shift does not change what it types.
    KeySym both[2] = {ks, ks};
    x_lib.change_keyboard_mapping(x_display, static_cast<int>(c.code), 2, both, 1);
    for (int col = 0; col < per; col++)
      syms[(static_cast<int>(c.code) - min_code) * per + col] = col < 2 ? ks : NoSymbol;
    c = {c.code, window, token, ks, low32(server_now + bind_wait_ms + hold_ms)};
    claims_changed = true;
    bound++;
  }
  return bound;
}

// Presses, under the grab, wanted[from, count) for as long as each is on the layout or bound by this
// session; returns where it stopped.
size_t press_batch(const KeySym *wanted, size_t from, size_t count, bool shift_held) {
  size_t i = from;
  for (; i < count; i++) {
    int column = 0;
    if (wanted[i] == 0) continue;
    if (int code = on_layout(wanted[i], &column); code != 0) {
      press_in_column(code, column, shift_held);
      continue;
    }
    int slot = own_claim(wanted[i]);
    if (slot < 0) break;
    claims[slot].until = low32(server_now + hold_ms);
    claims_changed = true;
    tap(static_cast<int>(claims[slot].code));
    last_spare_ns = monotonic_ns();
  }
  return i;
}

}  // namespace

namespace {

// The text a keyboard event carries as keysyms, and their code points for remarks; returns how many.
size_t decode(const cg_record &r, KeySym (&wanted)[20], uint32_t (&chars)[20]) {
  size_t count = 0;
  for (size_t i = 0; i < r.text_length && count < std::size(wanted); i++) {
    uint32_t c = r.text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < r.text_length)
      c = 0x10000 + ((c - 0xD800) << 10) + (r.text[++i] - 0xDC00u);
    KeySym ks = keysym_of(c);
    if (ks == 0) {
      note_delivery("T: cannot type U+%04X: no key types it", static_cast<unsigned>(c));
      continue;
    }
    chars[count] = c;
    wanted[count++] = ks;
  }
  return count;
}

// The Caps Lock key when Caps Lock is on, else 0. It would give letters their other case, and
// clients turn even a bound letter to its capital: it is switched off for the time of the text.
int caps_lock_on() {
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  if (x_lib.query_pointer(x_display, DefaultRootWindow(x_display), &root, &child, &rx, &ry, &wx, &wy,
                          &mask) &&
      (mask & LockMask) != 0)
    return find(0xffe5, 0);  // Caps_Lock
  return 0;
}

// The characters on the layout at once; from the first that is not, the rest with the server
// grabbed: spare codes bound, a pause for applications to read them, the presses; waiting whenever
// every spare code is held.
void type_all(KeySym *wanted, const uint32_t *chars, size_t count, bool shift_held) {
  size_t i = 0;
  for (int column = 0; i < count; i++) {
    int code = on_layout(wanted[i], &column);
    if (code == 0) break;
    press_in_column(code, column, shift_held);
  }
  while (i < count) {
    uint64_t wait_ms = 0;
    begin_grab();
    size_t bound = bind_batch(wanted, chars, i, count, &wait_ms);
    if (bound > 0) {
      end_grab();
      if (!pause_ms(bind_wait_ms)) return;
      begin_grab();
    }
    size_t next = press_batch(wanted, i, count, shift_held);
    end_grab();
    if (next == i && bound == 0 && !pause_ms(wait_ms > 0 ? wait_ms : 1)) return;
    i = next;
  }
}

}  // namespace

void x_type(const cg_record &r) {
  KeySym wanted[20];
  uint32_t chars[20];
  size_t count = decode(r, wanted, chars);
  if (count == 0 || interrupted) return;
  take_notices();
  if (stale) {
    // The layout, and which of its codes are spares: both, whenever the mapping changed.
    if (window == 0 && !make_window()) return;
    read_mapping();
    read_record();
  }
  if (syms == nullptr) return;
  int caps = caps_lock_on();
  if (caps != 0) tap(caps);
  type_all(wanted, chars, count, (r.flags & kCGEventFlagMaskShift) != 0);
  if (caps != 0) tap(caps);
}

void x_release_spares(bool connected) {
  if (connected && window != 0) {
    // Applications may still be reading the last presses: the codes keep their characters until
    // the hold has passed.
    uint64_t now = monotonic_ns(), until = last_spare_ns + uint64_t{hold_ms} * 1000000u;
    if (last_spare_ns != 0 && now < until) pause_ms((until - now + 999999) / 1000000);
    x_lib.grab_server(x_display);
    ask_time();
    read_record();
    take_time();
    read_mapping();
    // This session's codes, and those a dead session left whose hold has passed, get their empty
    // mapping back where they still type what they were bound to; another's rebinding is left.
    KeySym none[2] = {NoSymbol, NoSymbol};
    for (int i = 0; i < claim_count;) {
      const claim &c = claims[i];
      bool mine = c.owner == window && c.token == token;
      if (!mine && (before(server_now, c.until) || alive(c))) {
        i++;
        continue;
      }
      if (at(static_cast<int>(c.code), 0) == c.keysym)
        x_lib.change_keyboard_mapping(x_display, static_cast<int>(c.code), 2, none, 1);
      claims[i] = claims[--claim_count];
      claims_changed = true;
    }
    write_record();
    x_lib.ungrab_server(x_display);
    x_lib.destroy_window(x_display, window);
    x_lib.sync(x_display, False);
  }
  if (syms != nullptr) x_lib.free(syms);
  syms = nullptr;
  per = claim_count = 0;
  stale = true;
  window = 0;
  last_spare_ns = 0;
  interrupted = false;
}
