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
#include "shared/utf8.h"
#include "x11/xlib.h"

namespace {

// How long a spare code keeps its character after its last press. Measured on Xvfb, typing 200
// distinct characters: xev and an Xlib application read the mapping within 5 ms, Chromium within
// 20 ms (also with both cores busy), an application that takes 1 ms a key within 50 ms; four times
// the slowest. It costs that long at the end of a session that typed off the layout, and once for
// each round of rebinding when more distinct characters are needed than there are spare codes.
constexpr uint32_t hold_ms = 200;

// How long a character waits for a spare code that other sessions hold before it is left out: with
// six sessions on two spare codes, each waited at most a few holds.
constexpr uint64_t code_wait_ms = 5000;

// How far ahead of the server's time a session ever sets a claim's hold: further is not a session's.
constexpr uint32_t furthest_hold_ms = 1000;

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

// One entry of the queue of sessions waiting for a spare code: the root window's
// _HIDPIPE_WAITING, four 32-bit values an entry. A code that comes free goes to the longest waiting.
struct waiter {
  unsigned long owner;  // the window of the waiting session
  unsigned long token;  // its token
  unsigned long since;  // the server time it began to wait
  unsigned long seen;   // the server time it last looked: one that stops looking is passed over
};
constexpr int waiter_longs = 4;
static_assert(sizeof(waiter) == waiter_longs * sizeof(long), "a waiter is four longs, as Xlib passes them");

// A waiter that has not looked for this long no longer waits (a waiting session looks at least
// every hold); and how often a waiter looks while an older one has its turn.
constexpr uint32_t waiter_gone_ms = 1000;
constexpr uint32_t turn_wait_ms = 10;

waiter waiters[64];         // the queue as last read
int waiter_count;           // how many of waiters are in use
bool waiters_changed;       // waiters differ from the queue on the server
Atom queue_atom;            // _HIDPIPE_WAITING
claim claims[256];          // the record as last read
int claim_count;            // how many of claims are in use
bool claims_changed;        // claims differ from the record on the server
bool claimed[256];          // per key code: in the record as last read, so not part of the layout
KeySym *syms;               // the core mapping as last read: per key code, its columns
XkbDescPtr desc;            // the keymap as XKB has it, when last read: groups, levels, key types; or null
int group;                  // the group (layout) in effect when the text began
int shift_code;             // the key that selects level 2 (Shift_L), or 0
int level3_code;            // the key that selects level 3 (ISO_Level3_Shift), or 0
unsigned level3_mask;       // the modifier it sets, or 0
unsigned char mod_of[256];  // per key code, the modifiers it sets (the modifier mapping)
bool guarded;               // typing under the bound of a round trip, which pauses lift
int min_code, max_code;     // the key codes the mapping covers
int per;                    // keysyms per key code
bool stale = true;          // the mapping changed since it was read (or was never read)
Window window;              // this session's own window, once it claimed a code; 0 before
unsigned long token;        // the session's token, on its window
Atom record_atom;           // _HIDPIPE_KEYCODES
Atom session_atom;          // _HIDPIPE_SESSION
int xkb_event = -1;         // the type of XKB's events, where the server has XKB
Time server_now;            // the server's time when the record was last read under the grab
uint64_t last_spare_ns;     // when this session last pressed a spare code, CLOCK_MONOTONIC ns; 0 never
bool interrupted;           // a wait was cut short by a signal: the session is ending

uint64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// Sleeps ms milliseconds; false when a stop signal cut it short (the ending's grace bounds it too).
// A pause is not a server that does not answer: the round trip's bound stops for it.
bool pause_ms(uint64_t ms) {
  if (guarded) host_unguard();
  bool slept = host_sleep(static_cast<unsigned>(ms));
  if (guarded) x_guard_round_trip();
  if (slept) return true;
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

// Whether code has no keysym at all.
bool empty(int code) {
  for (int column = 0; column < per; column++)
    if (at(code, column) != NoSymbol) return false;
  return true;
}

// Whether code types exactly what a session binds it to: ks on every level of its one group (the
// core mapping repeats it for the second group), nothing else. A key of the layout never does.
bool bound_to(int code, KeySym ks) {
  if (ks == NoSymbol || at(code, 0) != ks || at(code, 1) != ks) return false;
  for (int column = 2; column < per; column++)
    if (at(code, column) != ks && at(code, column) != NoSymbol) return false;
  return true;
}

// The group of code that the group in effect selects (XKB wraps, clamps or redirects one the key
// lacks), or -1 for a key without keysyms.
int key_group(int code) {
  int groups = XkbKeyNumGroups(desc, code);
  if (groups == 0) return -1;
  if (group < groups) return group;
  unsigned info = XkbKeyGroupInfo(desc, code);
  switch (XkbOutOfRangeGroupAction(info)) {
    case XkbClampIntoRange: return groups - 1;
    case XkbRedirectIntoRange: {
      auto g = static_cast<int>(XkbOutOfRangeGroupNumber(info));
      return g < groups ? g : 0;
    }
    default: return group % groups;
  }
}

// The keysym on level of code in the group in effect: from XKB's keymap, or without XKB from the
// core mapping's first group (columns 0 and 1, then 4 and 5).
KeySym sym_at(int code, int level) {
  if (desc == nullptr) return at(code, level < 2 ? level : level + 2);
  if (code < desc->min_key_code || code > desc->max_key_code) return NoSymbol;
  int g = key_group(code);
  if (g < 0 || level >= XkbKeyGroupWidth(desc, code, g)) return NoSymbol;
  return XkbKeySymEntry(desc, code, level, g);
}

// The modifiers that select level of code, of Shift and the level 3 key's alone (Caps Lock is off
// while text is typed); ~0u when no such choice selects it.
unsigned mods_for(int code, int level) {
  if (level == 0) return 0;
  unsigned reachable = ShiftMask | level3_mask, best = ~0u;
  if (desc == nullptr) {
    best = ((level & 1) != 0 ? ShiftMask : 0) | ((level & 2) != 0 ? level3_mask : 0);
    return (level & 2) != 0 && level3_mask == 0 ? ~0u : best;
  }
  XkbKeyTypePtr type = XkbKeyKeyType(desc, code, key_group(code));
  for (int i = 0; i < type->map_count; i++) {
    const XkbKTMapEntryRec &e = type->map[i];
    unsigned mask = e.mods.mask;
    if (e.active == 0 || e.level != level || mask == 0 || (mask & ~reachable) != 0) continue;
    if (best == ~0u || __builtin_popcount(mask) < __builtin_popcount(best)) best = mask;
  }
  return best;
}

// The key code, not a spare, whose first level types ks in the group in effect, or 0.
int key_with(KeySym ks) {
  for (int code = min_code; code <= max_code; code++)
    if (!claimed[code] && sym_at(code, 0) == ks) return code;
  return 0;
}

// Whether server time a is before b, across the 49 days after which it wraps.
bool before(unsigned long a, unsigned long b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a - b)) < 0;
}

// A 32-bit value of a property as Xlib gives it: in a long, sign-extended where longs are wider.
unsigned long low32(unsigned long v) { return v & 0xffffffffu; }

// The level 2 and level 3 keys of the group in effect, and the modifier that the level 3 key sets.
void find_level_keys() {
  shift_code = key_with(0xffe1);   // Shift_L
  level3_code = key_with(0xfe03);  // ISO_Level3_Shift
  level3_mask = 0;
  for (unsigned bit = 0; level3_code != 0 && bit < 8 && level3_mask == 0; bit++)
    if ((mod_of[level3_code] & (1u << bit)) != 0) level3_mask = 1u << bit;
  if (level3_mask == 0) level3_code = 0;
}

void read_modifiers() {
  for (unsigned char &m : mod_of) m = 0;
  XModifierKeymap *map = x_lib.get_modifier_mapping(x_display);
  for (int mod = 0; map != nullptr && mod < 8; mod++)
    for (int k = 0; k < map->max_keypermod; k++) {
      KeyCode code = map->modifiermap[mod * map->max_keypermod + k];
      if (code != 0) mod_of[code] = static_cast<unsigned char>(mod_of[code] | (1u << mod));
    }
  if (map != nullptr) x_lib.free_modifiermap(map);
}

void read_mapping() {
  if (syms != nullptr) x_lib.free(syms);
  if (desc != nullptr) x_lib.xkb_free_keyboard(desc, 0, True);
  x_lib.display_keycodes(x_display, &min_code, &max_code);
  syms = x_lib.get_keyboard_mapping(x_display, static_cast<KeyCode>(min_code), max_code - min_code + 1, &per);
  if (syms == nullptr) per = 0;
  desc = xkb_event >= 0 ? x_lib.xkb_get_map(x_display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd)
                        : nullptr;
  if (desc != nullptr && (desc->map == nullptr || desc->map->key_sym_map == nullptr)) {
    x_lib.xkb_free_keyboard(desc, 0, True);
    desc = nullptr;
  }
  stale = false;
  read_modifiers();
  find_level_keys();
}

// Reads the record. Codes it names are spares, not part of the layout.
void read_record() {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  bool dropped = false;
  claim_count = 0;
  x_lib.display_keycodes(x_display, &min_code, &max_code);
  if (x_lib.get_window_property(x_display, DefaultRootWindow(x_display), record_atom, 0,
                                static_cast<long>(std::size(claims)) * claim_longs, False, XA_CARDINAL, &type,
                                &format, &count, &after, &data) == Success &&
      type == XA_CARDINAL && format == 32 && data != nullptr) {
    const auto *longs = reinterpret_cast<const unsigned long *>(data);
    for (unsigned long i = 0; i + claim_longs <= count && claim_count < static_cast<int>(std::size(claims));
         i += claim_longs) {
      claim c = {low32(longs[i]), low32(longs[i + 1]), low32(longs[i + 2]), low32(longs[i + 3]),
                 low32(longs[i + 4])};
      // Anyone may write the record: an entry a session cannot have made is passed over (and so
      // left out when the record is written again), as is a second one for the same code.
      bool plausible = c.code >= static_cast<unsigned long>(min_code) &&
                       c.code <= static_cast<unsigned long>(max_code) && c.code < std::size(claimed) &&
                       c.owner != 0 && c.keysym != NoSymbol && c.keysym < 0x20000000;
      for (int k = 0; plausible && k < claim_count; k++) plausible = claims[k].code != c.code;
      if (plausible)
        claims[claim_count++] = c;
      else
        dropped = true;
    }
  }
  if (data != nullptr) x_lib.free(data);
  for (bool &c : claimed) c = false;
  for (int i = 0; i < claim_count; i++) claimed[claims[i].code] = true;
  claims_changed = dropped;
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

// Reads the queue, under the grab once the server's time is known; entries no waiting session could
// have made, or whose session stopped looking, are passed over.
void read_waiters() {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  waiter_count = 0;
  waiters_changed = false;
  if (x_lib.get_window_property(x_display, DefaultRootWindow(x_display), queue_atom, 0,
                                static_cast<long>(std::size(waiters)) * waiter_longs, False, XA_CARDINAL,
                                &type, &format, &count, &after, &data) == Success &&
      type == XA_CARDINAL && format == 32 && data != nullptr) {
    const auto *longs = reinterpret_cast<const unsigned long *>(data);
    for (unsigned long i = 0;
         i + waiter_longs <= count && waiter_count < static_cast<int>(std::size(waiters));
         i += waiter_longs) {
      waiter w = {low32(longs[i]), low32(longs[i + 1]), low32(longs[i + 2]), low32(longs[i + 3])};
      bool looking = w.owner != 0 && !before(w.seen + waiter_gone_ms, server_now) &&
                     !before(server_now + furthest_hold_ms, w.seen) && !before(w.seen, w.since);
      if (looking)
        waiters[waiter_count++] = w;
      else
        waiters_changed = true;
    }
  }
  if (data != nullptr) x_lib.free(data);
}

void write_waiters() {
  if (!waiters_changed) return;
  Window root = DefaultRootWindow(x_display);
  if (waiter_count == 0)
    x_lib.delete_property(x_display, root, queue_atom);
  else
    x_lib.change_property(x_display, root, queue_atom, XA_CARDINAL, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char *>(waiters), waiter_count * waiter_longs);
  waiters_changed = false;
}

// This session's place in the queue, or -1.
int my_wait() {
  for (int i = 0; i < waiter_count; i++)
    if (waiters[i].owner == window && waiters[i].token == token) return i;
  return -1;
}

void stop_waiting() {
  if (int i = my_wait(); i >= 0) {
    waiters[i] = waiters[--waiter_count];
    waiters_changed = true;
  }
}

// Takes the mapping notices that came, this session's own bindings' among them: each makes the
// mapping stale. Reads what has arrived without waiting for more. Xlib holds back the notices after
// one until it is told that the mapping was read again.
void take_notices() {
  x_lib.events_queued(x_display, QueuedAfterReading);
  XEvent e;
  // Once XKB's notices are asked for, Xlib gives them instead of the core one for a new keymap.
  while (xkb_event >= 0 && x_lib.check_typed_event(x_display, xkb_event, &e) == True) stale = true;
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

// Whether the session that made a claim is still connected: its window exists and holds its token.
// A window of a dead session's number may have been made again by another client since.
bool alive_session(unsigned long owner, unsigned long session_token) {
  if (owner == window && session_token == token) return true;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  bool same = x_lib.get_window_property(x_display, owner, session_atom, 0, 1, False, XA_CARDINAL, &type,
                                        &format, &count, &after, &data) == Success &&
              type == XA_CARDINAL && format == 32 && count == 1 && data != nullptr &&
              low32(*reinterpret_cast<const unsigned long *>(data)) == session_token;
  if (data != nullptr) x_lib.free(data);
  return same;
}
bool alive(const claim &c) { return alive_session(c.owner, c.token); }

// Whether a living session waits that has its turn before this one: one that waited longer, or any
// while this one does not wait. Dead ones leave the queue.
bool someone_first() {
  int me = my_wait();
  for (int i = 0; i < waiter_count;) {
    const waiter &w = waiters[i];
    bool first = i != me && (me < 0 || before(w.since, waiters[me].since) ||
                             (w.since == waiters[me].since && w.token < token));
    if (!first) {
      i++;
      continue;
    }
    if (alive_session(w.owner, w.token)) return true;
    waiters[i] = waiters[--waiter_count];
    if (me == waiter_count) me = i;
    waiters_changed = true;
  }
  return false;
}

// Queues this session for a code, or says it still waits.
void wait_in_queue() {
  int me = my_wait();
  if (me < 0 && waiter_count < static_cast<int>(std::size(waiters))) {
    waiters[waiter_count++] = {window, token, server_now, server_now};
  } else if (me >= 0) {
    waiters[me].seen = server_now;
  }
  waiters_changed = true;
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
  queue_atom = x_lib.intern_atom(x_display, "_HIDPIPE_WAITING", False);
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

// Presses and releases code, with Shift and the level 3 key around it where mods has them.
void press_with(int code, unsigned mods, bool shift_held) {
  int shift = (mods & ShiftMask) != 0 ? shift_code : 0;
  int level3 = (mods & level3_mask) != 0 ? level3_code : 0;
  // A Shift the user holds already does the work; pressing and releasing it would let it go.
  if (shift_held) shift = 0;
  const int modifiers[] = {shift, level3};
  for (int modifier : modifiers)
    if (modifier != 0) x_lib.fake_key(x_display, static_cast<unsigned>(modifier), True, CurrentTime);
  tap(code);
  for (int i = 1; i >= 0; i--)
    if (modifiers[i] != 0) x_lib.fake_key(x_display, static_cast<unsigned>(modifiers[i]), False, CurrentTime);
}

// The key code that types ks in the group in effect, with the modifiers of its level in *mods
// (plain first, then Shift, then the level 3 key without and with Shift), or 0.
int on_layout(KeySym ks, unsigned *mods) {
  for (int level = 0; level < 4; level++)
    for (int code = min_code; code <= max_code; code++) {
      if (claimed[code] || sym_at(code, level) != ks) continue;
      unsigned m = mods_for(code, level);
      if (m == ~0u || ((m & ShiftMask) != 0 && shift_code == 0)) continue;
      *mods = m;
      return code;
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
  // A code that comes free goes to the session that waited longest.
  if (someone_first()) {
    wait_in_queue();
    *wait_ms = turn_wait_ms;
    return -1;
  }
  for (int code = max_code; code >= min_code; code--) {
    if (claimed[code] || !empty(code) || claim_count >= static_cast<int>(std::size(claims))) continue;
    claims[claim_count] = {static_cast<unsigned long>(code), 0, 0, 0, 0};
    claimed[code] = true;
    stop_waiting();
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
  if (best >= 0) {
    stop_waiting();
    return best;
  }
  if (claim_count == 0) return -2;
  wait_in_queue();
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
  read_waiters();
  take_notices();
  if (stale) read_mapping();
  for (int i = 0; i < claim_count;) {
    // A claim whose code no longer types exactly its character (a new layout, another program
    // bound it), or that holds it longer than any session would, is no claim.
    const claim &c = claims[i];
    if (bound_to(static_cast<int>(c.code), c.keysym) && !before(server_now + furthest_hold_ms, c.until)) {
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
  write_waiters();
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
    unsigned mods = 0;
    KeySym ks = wanted[i];
    if (ks == 0 || on_layout(ks, &mods) != 0 || own_claim(ks) >= 0) continue;
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
    unsigned mods = 0;
    if (wanted[i] == 0) continue;
    if (int code = on_layout(wanted[i], &mods); code != 0) {
      press_with(code, mods, shift_held);
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

// Reads the group in effect (the layout the user is on), and returns the Caps Lock key when Caps
// Lock is on, else 0. Caps Lock would give letters their other case, and clients turn even a bound
// letter to its capital: it is switched off for the time of the text.
int read_state() {
  bool locked = false;
  int was = group;
  XkbStateRec state = {};
  if (xkb_event >= 0 && x_lib.xkb_get_state(x_display, XkbUseCoreKbd, &state) == Success) {
    group = state.group;
    locked = (state.locked_mods & LockMask) != 0;
  } else {
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    group = 0;
    locked = x_lib.query_pointer(x_display, DefaultRootWindow(x_display), &root, &child, &rx, &ry, &wx, &wy,
                                 &mask) != 0 &&
             (mask & LockMask) != 0;
  }
  if (group != was) find_level_keys();
  return locked ? key_with(0xffe5) : 0;  // Caps_Lock
}

// The characters on the layout at once; from the first that is not, the rest with the server
// grabbed: spare codes bound, a pause for applications to read them, the presses; waiting whenever
// every spare code is held, but for one character no longer than code_wait_ms.
void type_all(KeySym *wanted, const uint32_t *chars, size_t count, bool shift_held) {
  size_t i = 0;
  for (unsigned mods = 0; i < count; i++) {
    int code = on_layout(wanted[i], &mods);
    if (code == 0) break;
    press_with(code, mods, shift_held);
  }
  uint64_t stuck_since = 0;  // when the presses last stopped at i without a code for it, or 0
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
    if (next != i || bound != 0) {
      stuck_since = 0;
      i = next;
      continue;
    }
    uint64_t now = monotonic_ns();
    if (stuck_since == 0) stuck_since = now;
    if (now - stuck_since >= code_wait_ms * 1000000u) {
      char text[5];
      note_delivery("T: cannot type U+%04X (%s): other sessions held every spare key code for %u s",
                    static_cast<unsigned>(chars[i]), utf8_of(chars[i], text),
                    static_cast<unsigned>(code_wait_ms / 1000));
      wanted[i] = 0;
      stuck_since = 0;
      continue;
    }
    if (!pause_ms(wait_ms > 0 ? wait_ms : 1)) return;
  }
}

}  // namespace

void x_type(const cg_record &r) {
  KeySym wanted[20];
  uint32_t chars[20];
  size_t count = decode(r, wanted, chars);
  if (count == 0 || interrupted) return;
  x_guard_round_trip();
  guarded = true;
  take_notices();
  if (stale) {
    // The layout, and which of its codes are spares: both, whenever the mapping changed.
    if (window == 0 && !make_window()) {
      guarded = false;
      host_unguard();
      return;
    }
    read_mapping();
    read_record();
  }
  if (syms != nullptr) {
    int caps = read_state();
    if (caps != 0) tap(caps);
    type_all(wanted, chars, count, (r.flags & kCGEventFlagMaskShift) != 0);
    if (caps != 0) tap(caps);
  }
  guarded = false;
  host_unguard();
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
    read_waiters();
    stop_waiting();
    write_waiters();
    read_mapping();
    // This session's codes, and those a dead session left whose hold has passed, get their empty
    // mapping back where they still type what they were bound to; another's rebinding is left.
    KeySym none[2] = {NoSymbol, NoSymbol};
    for (int i = 0; i < claim_count;) {
      const claim &c = claims[i];
      bool mine = c.owner == window && c.token == token;
      bool sound = !before(server_now + furthest_hold_ms, c.until);
      if (!mine && sound && (before(server_now, c.until) || alive(c))) {
        i++;
        continue;
      }
      // Only a code that types exactly what a session bound: never a key of the layout.
      if (sound && bound_to(static_cast<int>(c.code), c.keysym))
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
  if (desc != nullptr) x_lib.xkb_free_keyboard(desc, 0, True);
  syms = nullptr;
  desc = nullptr;
  group = 0;
  per = claim_count = 0;
  stale = true;
  window = 0;
  last_spare_ns = 0;
  interrupted = false;
}
