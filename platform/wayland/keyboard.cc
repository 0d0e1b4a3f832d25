// The virtual keyboard on Wayland. It presses keys by evdev code through a keymap: the user's, as
// the compositor gives it to a keyboard of its own, so that K presses the physical key that the
// user's layout interprets, and so that the compositor's grouping of keyboards does not switch the
// user's keyboard to another layout. The keymap is learnt from the keyboard hidpipe makes (the
// compositor configures each new keyboard with the layout it is configured with), and followed
// when the layout changes mid-session. The compositor does not derive modifiers from a virtual
// keyboard, so they are tracked here and sent after each key that changes them. Text goes through
// a keymap made of its own characters, sent for the time of the text.
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "shared/layout.h"
#include "wayland/keyboard.h"

namespace {

// A keymap hidpipe sent lately: the seat's keyboard hears it back, which is no change of layout.
struct sent_keymap {
  uint64_t hash;  // of its text
  uint32_t at;    // when it was sent, in wl_now's milliseconds
};

wl_keyboard *seat_keyboard;         // the seat's keyboard, which hears the keymaps the compositor sends
int user_keymap = -1;               // the user's keymap as the compositor sent it, or as made here; or -1
uint32_t user_keymap_size;          // its size, its terminating zero included
uint64_t user_hash;                 // the hash of its text
bool user_changed;                  // a new user keymap came since the virtual keyboard was given one
bool user_made;                     // the user keymap was made from the default rules, not received
xkb_context *context;               // for compiling keymaps
xkb_keymap *keymap;                 // the user keymap, compiled
xkb_state *state;                   // its state, from the keys hidpipe pressed
zwp_virtual_keyboard_v1 *keyboard;  // the virtual keyboard
bool held[256];                     // evdev keys held through it
uint32_t looked;                    // when follow_seat last read the compositor's events, in ms
uint64_t ready_at;                  // when the keyboard may press its first key: wl_ready_at
sent_keymap sent[8];                // the keymaps sent lately, as a ring
size_t sent_next;                   // the ring's next slot
char text_keymap[24 * 1024];        // the keymap source for one piece of text
uint32_t seat_locked;               // the seat's locked modifiers, as its keyboard last heard
uint32_t seat_group;                // the seat's layout, likewise
bool seat_heard;                    // whether its keyboard heard them (only with the focus)

constexpr uint32_t xkb_v1 = 1;  // the keymap format: XKB's text

// How long the echo of a keymap sent can take to come back.
constexpr uint32_t echo_ms = 2000;

// The section name of the keymaps that carry text, by which their echoes are known.
constexpr char text_marker[] = "xkb_keycodes \"hidpipe-text\"";

// FNV-1a over a keymap's text.
uint64_t hash_of(const char *text, size_t n) {
  uint64_t h = 0xcbf29ce484222325u;
  for (size_t i = 0; i < n && text[i] != '\0'; i++)
    h = (h ^ static_cast<unsigned char>(text[i])) * 0x100000001b3u;
  return h;
}

void remember_sent(uint64_t hash) {
  sent[sent_next] = {hash, wl_now()};
  sent_next = (sent_next + 1) % std::size(sent);
}

bool sent_lately(uint64_t hash) {
  uint32_t now = wl_now();
  for (const sent_keymap &k : sent)
    if (k.hash == hash && now - k.at < echo_ms) return true;
  return false;
}

// A keymap the seat's keyboard heard: the user's layout, unless it is hidpipe's own coming back.
void on_keymap(void * /*data*/, wl_keyboard * /*k*/, uint32_t format, int32_t fd, uint32_t size) {
  void *text = format == xkb_v1 && size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  if (text == MAP_FAILED) {
    close(fd);
    return;
  }
  const char *t = static_cast<const char *>(text);
  bool text_keys = memmem(t, size, text_marker, sizeof text_marker - 1) != nullptr;
  uint64_t h = hash_of(t, size);
  munmap(text, size);
  if (text_keys || h == user_hash || sent_lately(h)) {
    close(fd);
    return;
  }
  if (user_keymap >= 0) close(user_keymap);
  user_keymap = fd;
  user_keymap_size = size;
  user_hash = h;
  user_changed = true;
  user_made = false;
}

void on_enter(void * /*data*/, wl_keyboard * /*k*/, uint32_t /*serial*/, void * /*surface*/,
              wl_array * /*keys*/) {}
void on_leave(void * /*data*/, wl_keyboard * /*k*/, uint32_t /*serial*/, void * /*surface*/) {}
void on_key(void * /*data*/, wl_keyboard * /*k*/, uint32_t /*serial*/, uint32_t /*time*/, uint32_t /*key*/,
            uint32_t /*state*/) {}
void on_modifiers(void * /*data*/, wl_keyboard * /*k*/, uint32_t /*serial*/, uint32_t /*depressed*/,
                  uint32_t /*latched*/, uint32_t locked, uint32_t group) {
  seat_locked = locked;
  seat_group = group;
  seat_heard = true;
}

const wl_keyboard_listener keyboard_listener = {on_keymap, on_enter, on_leave, on_key, on_modifiers};

// Compiles the keymap in a file the compositor sent, or null.
xkb_keymap *keymap_of(int fd, uint32_t size) {
  void *text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (text == MAP_FAILED) return nullptr;
  xkb_keymap *k = xkb.keymap_new_from_string(context, static_cast<const char *>(text),
                                             XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  munmap(text, size);
  return k;
}

// A sealed-off file holding text and its terminating zero, for sending as a keymap; -1 on failure.
int file_of(const char *text, uint32_t *size) {
  int fd = memfd_create("hidpipe-keymap", MFD_CLOEXEC);
  size_t n = strlen(text) + 1;
  if (fd < 0 || write(fd, text, n) != static_cast<ssize_t>(n)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *size = static_cast<uint32_t>(n);
  return fd;
}

void send_modifiers() {
  zwp_virtual_keyboard_v1_modifiers(keyboard, xkb.state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
                                    xkb.state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
                                    xkb.state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
                                    xkb.state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
}

// Gives the virtual keyboard the user keymap and the modifiers.
void send_user_keymap() {
  zwp_virtual_keyboard_v1_keymap(keyboard, xkb_v1, user_keymap, user_keymap_size);
  remember_sent(user_hash);
  send_modifiers();
}

// Takes the user keymap as the current one, its state made again from the keys held.
bool take_user_keymap() {
  xkb_keymap *k = keymap_of(user_keymap, user_keymap_size);
  user_changed = false;
  if (k == nullptr) return false;
  if (state != nullptr) xkb.state_unref(state);
  if (keymap != nullptr) xkb.keymap_unref(keymap);
  keymap = k;
  state = xkb.state_new(keymap);
  for (unsigned code = 0; code < std::size(held); code++)
    if (held[code]) xkb.state_update_key(state, code + 8, XKB_KEY_DOWN);
  return true;
}

// Reads what the compositor sent meanwhile, without waiting, and follows a new user keymap: the
// virtual keyboard gets it even where the compositor gave it already, as the keymap may have come
// from another keyboard. A keymap changes when the user switches layouts, not between two keys of
// a burst: once every 50 ms is soon enough, and spares a system call per key. Returns whether it
// gave the virtual keyboard a new keymap.
bool follow_seat(bool now) {
  uint32_t ms = wl_now();
  if (!now && ms - looked < 50) return false;
  looked = ms;
  wl_take_pending(wl_connection);
  if (!user_changed || keyboard == nullptr || !take_user_keymap()) return false;
  send_user_keymap();
  return true;
}

// Appends formatted text to the text keymap; false once it does not fit.
bool append(size_t *n, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool append(size_t *n, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int m = vsnprintf(text_keymap + *n, sizeof text_keymap - *n, format, ap);
  va_end(ap);
  if (m < 0 || static_cast<size_t>(m) >= sizeof text_keymap - *n) return false;
  *n += static_cast<size_t>(m);
  return true;
}

// The keys that carry text, by evdev code: the writing-system keys (letters, digits, punctuation),
// which every layout gives characters. Applications act on some keys by their code whatever they
// type (Escape, Backspace, Tab, Enter, the modifiers), and Chromium drops a key that has no DOM
// code at all, so text goes on keys whose only meaning is the character they type.
// clang-format off
constexpr uint8_t text_codes[] = {
    30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50, 49, 24, 25, 16, 19, 31, 20,  // a b c ... t
    22, 47, 17, 45, 21, 44,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11,                  // u ... z, 1 ... 0
    12, 13, 26, 27, 43, 39, 40, 41, 51, 52, 53, 86,                                  // - = [ ] \ ; ' ` , . / <>
};
// clang-format on
static_assert(std::size(text_codes) >= 20, "a run's 20 distinct characters each have a key");

// Writes a keymap whose text keys type keysyms[0], [1], ... at their only level.
bool write_text_keymap(const xkb_keysym_t *keysyms, size_t count) {
  size_t n = 0;
  bool ok = append(&n, "xkb_keymap {\n%s {\nminimum = 8;\nmaximum = 255;\n", text_marker);
  for (size_t i = 0; ok && i < count; i++) ok = append(&n, "<T%zu> = %d;\n", i, text_codes[i] + 8);
  ok = ok && append(&n,
                    "};\nxkb_types \"hidpipe\" {\ntype \"ONE_LEVEL\" {\nmodifiers = none;\n"
                    "level_name[Level1] = \"Any\";\n};\n};\nxkb_compatibility \"hidpipe\" {\n};\n"
                    "xkb_symbols \"hidpipe\" {\n");
  for (size_t i = 0; ok && i < count; i++) {
    char name[64];
    if (xkb.keysym_get_name(keysyms[i], name, sizeof name) < 0) return false;
    ok = append(&n, "key <T%zu> { [ %s ] };\n", i, name);
  }
  return ok && append(&n, "};\n};\n");
}

}  // namespace

void wk_watch_seat(uint32_t capabilities) {
  constexpr uint32_t has_keyboard = 2;
  if ((capabilities & has_keyboard) == 0 || seat_keyboard != nullptr) return;
  seat_keyboard = wl_seat_get_keyboard(wl_the_seat);
  wl_keyboard_add_listener(seat_keyboard, &keyboard_listener, nullptr);
}

bool wk_start(zwp_virtual_keyboard_manager_v1 *manager, const char **why) {
  context = xkb_quiet_context();
  if (context == nullptr) {
    *why = "libxkbcommon could not start";
    return false;
  }
  // Made before it has a keymap, so that the compositor configures it as it does each new keyboard:
  // the keymap the seat's keyboard hears then is the user's layout, whichever keyboard was used last.
  // The seat gains a keyboard, ours is asked for, its keymap arrives: two round trips.
  bool had_keyboard = (wl_seat_capabilities & 2) != 0;
  keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, wl_the_seat);
  if (!wl_roundtrip(3000) || !wl_roundtrip(3000)) {
    *why = "the Wayland compositor does not answer (waited 3 s)";
    return false;
  }
  if (user_keymap < 0 || !take_user_keymap()) {
    // Nothing said which layout: a keymap from the default rules (XKB_DEFAULT_LAYOUT and the rest).
    if (user_keymap >= 0) close(user_keymap);
    keymap = xkb.keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
    char *text = keymap != nullptr ? xkb.keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
    user_keymap = text != nullptr ? file_of(text, &user_keymap_size) : -1;
    user_hash = text != nullptr ? hash_of(text, user_keymap_size) : 0;
    user_made = true;
    free(text);
    if (user_keymap < 0) {
      *why = "the compositor gave no keymap, and none could be made from the default rules";
      return false;
    }
    state = xkb.state_new(keymap);
  }
  send_user_keymap();
  ready_at = wl_ready_at(had_keyboard);
  return true;
}

void wk_key(unsigned code, bool down) {
  follow_seat(false);
  wl_settle(&ready_at);
  zwp_virtual_keyboard_v1_key(keyboard, wl_now(), code, down ? 1 : 0);
  if (code < std::size(held)) held[code] = down;
  // Every change of the depressed, latched or locked modifiers or the group is sent, a Caps Lock
  // release included, which changes nothing that takes effect.
  if (xkb.state_update_key(state, code + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP) != 0) send_modifiers();
}

void wk_type(const cg_record &r) {
  follow_seat(true);
  // The distinct characters, each the key of its place among them.
  constexpr size_t most = sizeof r.text / sizeof r.text[0];
  xkb_keysym_t keysyms[most];
  size_t keys[most];
  size_t distinct = 0, count = 0;
  for (size_t i = 0; i < r.text_length; i++) {
    uint32_t c = r.text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < r.text_length)
      c = 0x10000 + ((c - 0xD800) << 10) + (r.text[++i] - 0xDC00u);
    xkb_keysym_t ks = text_keysym(c);
    if (ks == 0) continue;
    size_t k = 0;
    while (k < distinct && keysyms[k] != ks) k++;
    if (k == distinct) keysyms[distinct++] = ks;
    keys[count++] = k;
  }
  if (count == 0 || !write_text_keymap(keysyms, distinct)) return;
  xkb_keymap *text = xkb.keymap_new_from_string(context, text_keymap, XKB_KEYMAP_FORMAT_TEXT_V1,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS);
  char *compiled = text != nullptr ? xkb.keymap_get_as_string(text, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
  uint32_t size = 0;
  int fd = compiled != nullptr ? file_of(compiled, &size) : -1;
  free(compiled);
  if (text != nullptr) xkb.keymap_unref(text);
  if (fd < 0) return;
  wl_settle(&ready_at);
  zwp_virtual_keyboard_v1_keymap(keyboard, xkb_v1, fd, size);
  close(fd);  // the request carries a copy
  // Held modifiers still mark the text; a locked Caps Lock would change its letters.
  zwp_virtual_keyboard_v1_modifiers(
      keyboard, xkb.state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED) & 0xff, 0, 0, 0);
  for (size_t i = 0; i < count; i++) {
    uint32_t code = text_codes[keys[i]];
    zwp_virtual_keyboard_v1_key(keyboard, wl_now(), code, 1);
    zwp_virtual_keyboard_v1_key(keyboard, wl_now(), code, 0);
  }
  // The user keymap again, the newest: the layout may have changed while the text was typed.
  if (!follow_seat(true)) send_user_keymap();
}

xkb_keymap *wk_seat_keymap(xkb_layout_index_t *layout, int *caps_locked) {
  follow_seat(true);
  if (context == nullptr) context = xkb_quiet_context();
  if (context == nullptr || user_keymap < 0) return nullptr;
  if (keymap == nullptr || user_changed) take_user_keymap();
  if (keymap == nullptr) return nullptr;
  *layout = seat_group;
  xkb_mod_index_t lock = xkb.keymap_mod_get_index(keymap, XKB_MOD_NAME_CAPS);
  *caps_locked = !seat_heard ? -1 : lock != XKB_MOD_INVALID && (seat_locked & (uint32_t{1} << lock)) != 0;
  return keymap;
}

void wk_settle() { wl_settle(&ready_at); }

void wk_stop() {
  if (keyboard != nullptr && wl_connection != nullptr) zwp_virtual_keyboard_v1_destroy(keyboard);
  if (seat_keyboard != nullptr) wl_keyboard_destroy(seat_keyboard);
  keyboard = nullptr;
  seat_keyboard = nullptr;
  if (user_keymap >= 0) close(user_keymap);
  user_keymap = -1;
  user_hash = 0;
  user_changed = user_made = false;
  if (state != nullptr) xkb.state_unref(state);
  if (keymap != nullptr) xkb.keymap_unref(keymap);
  if (context != nullptr) xkb.context_unref(context);
  state = nullptr;
  keymap = nullptr;
  context = nullptr;
  for (bool &h : held) h = false;
  for (sent_keymap &k : sent) k = {};
  ready_at = 0;
  seat_locked = seat_group = 0;
  seat_heard = false;
}
