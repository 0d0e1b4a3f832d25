// Keysyms on a layout, through libxkbcommon, which is loaded when a backend first needs it.
#include "shared/layout.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "backend.h"
#include "shared/evdev.h"
#include "shared/symbols.h"

xkb_functions xkb;

bool xkb_load(const char **why) {
  static bool loaded;
  static char error[300];
  if (loaded) return true;
  void *library = dlopen("libxkbcommon.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char *said = dlerror();
    snprintf(error, sizeof error, "cannot load libxkbcommon (Debian: libxkbcommon0): %s",
             said != nullptr ? said : "not found");
    *why = error;
    return false;
  }
  loaded = find_symbol(library, "xkb_context_new", &xkb.context_new) &&
           find_symbol(library, "xkb_context_unref", &xkb.context_unref) &&
           find_symbol(library, "xkb_context_set_log_fn", &xkb.context_set_log_fn) &&
           find_symbol(library, "xkb_keymap_ref", &xkb.keymap_ref) &&
           find_symbol(library, "xkb_keymap_new_from_string", &xkb.keymap_new_from_string) &&
           find_symbol(library, "xkb_keymap_new_from_names", &xkb.keymap_new_from_names) &&
           find_symbol(library, "xkb_keymap_get_as_string", &xkb.keymap_get_as_string) &&
           find_symbol(library, "xkb_keymap_unref", &xkb.keymap_unref) &&
           find_symbol(library, "xkb_state_new", &xkb.state_new) &&
           find_symbol(library, "xkb_state_unref", &xkb.state_unref) &&
           find_symbol(library, "xkb_state_update_key", &xkb.state_update_key) &&
           find_symbol(library, "xkb_state_serialize_mods", &xkb.state_serialize_mods) &&
           find_symbol(library, "xkb_state_serialize_layout", &xkb.state_serialize_layout) &&
           find_symbol(library, "xkb_utf32_to_keysym", &xkb.utf32_to_keysym) &&
           find_symbol(library, "xkb_keysym_get_name", &xkb.keysym_get_name) &&
           find_symbol(library, "xkb_keymap_min_keycode", &xkb.keymap_min_keycode) &&
           find_symbol(library, "xkb_keymap_max_keycode", &xkb.keymap_max_keycode) &&
           find_symbol(library, "xkb_keymap_num_layouts", &xkb.keymap_num_layouts) &&
           find_symbol(library, "xkb_keymap_num_layouts_for_key", &xkb.keymap_num_layouts_for_key) &&
           find_symbol(library, "xkb_keymap_num_levels_for_key", &xkb.keymap_num_levels_for_key) &&
           find_symbol(library, "xkb_keymap_key_get_syms_by_level", &xkb.keymap_key_get_syms_by_level) &&
           find_symbol(library, "xkb_keymap_key_get_mods_for_level", &xkb.keymap_key_get_mods_for_level) &&
           find_symbol(library, "xkb_keymap_layout_get_name", &xkb.keymap_layout_get_name) &&
           find_symbol(library, "xkb_keymap_mod_get_index", &xkb.keymap_mod_get_index) &&
           find_symbol(library, "xkb_state_update_mask", &xkb.state_update_mask) &&
           find_symbol(library, "xkb_state_key_get_one_sym", &xkb.state_key_get_one_sym);
  if (!loaded) *why = "libxkbcommon lacks a function hidpipe needs";
  return loaded;
}

namespace {

char complaint[300];  // the first error a quiet context gave since the last was made

void keep_complaint(xkb_context * /*context*/, xkb_log_level level, const char *format, va_list ap) {
  // The first error names the cause; those after it say what failed with it.
  if (complaint[0] != '\0' || level > XKB_LOG_LEVEL_ERROR) return;
  vsnprintf(complaint, sizeof complaint, format, ap);
  size_t n = strlen(complaint);
  if (n > 0 && complaint[n - 1] == '\n') complaint[n - 1] = '\0';
}

}  // namespace

xkb_context *xkb_quiet_context(xkb_context_flags flags) {
  complaint[0] = '\0';
  xkb_context *context = xkb.context_new(flags);
  if (context != nullptr) xkb.context_set_log_fn(context, keep_complaint);
  return context;
}

const char *xkb_complaint() { return complaint; }

namespace {

// Whether an XKB key code is a key of a full keyboard (the key table's): only those are typed with,
// as a real keyboard has them and the devices hidpipe makes declare them. Keymaps also give
// characters and modifiers to keys no keyboard has (a Euro key, <LVL3>).
bool on_keyboard(xkb_keycode_t key) {
  static const auto keys = [] {
    struct set {
      bool has[256];
    } s{};
    for (unsigned mac = 0; mac < 128; mac++)
      if (unsigned code = evdev_of(mac); code != 0) s.has[code] = true;
    return s;
  }();
  return key >= 8 && key - 8 < 256 && keys.has[key - 8];
}

// The number of modifiers in a mask.
int count(xkb_mod_mask_t m) {
  int n = 0;
  for (; m != 0; m &= m - 1) n++;
  return n;
}

// The fewest modifiers that select level of key on layout, leaving out any combination with Caps
// Lock (which text switches off): false when none selects it without Lock.
bool mods_for(xkb_keymap *keymap, xkb_keycode_t key, xkb_layout_index_t layout, xkb_level_index_t level,
              xkb_mod_mask_t *out) {
  xkb_mod_index_t lock = xkb.keymap_mod_get_index(keymap, XKB_MOD_NAME_CAPS);
  xkb_mod_mask_t lock_mask = lock == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t{1} << lock;
  xkb_mod_mask_t masks[16];
  size_t n = xkb.keymap_key_get_mods_for_level(keymap, key, layout, level, masks, 16);
  bool found = false;
  for (size_t i = 0; i < n; i++) {
    if ((masks[i] & lock_mask) != 0) continue;
    if (!found || count(masks[i]) < count(*out)) *out = masks[i];
    found = true;
  }
  return found;
}

}  // namespace

bool find_level(xkb_keymap *keymap, xkb_layout_index_t layout, xkb_keysym_t ks, key_level *out) {
  if (keymap == nullptr || ks == 0) return false;
  xkb_keycode_t min = xkb.keymap_min_keycode(keymap), max = xkb.keymap_max_keycode(keymap);
  for (xkb_level_index_t level = 0; level < 8; level++) {
    for (xkb_keycode_t key = min; key <= max; key++) {
      xkb_layout_index_t layouts = xkb.keymap_num_layouts_for_key(keymap, key);
      if (layouts == 0 || !on_keyboard(key)) continue;
      // A key with fewer layouts than the keymap gives the others its first.
      xkb_layout_index_t l = layout < layouts ? layout : 0;
      if (level >= xkb.keymap_num_levels_for_key(keymap, key, l)) continue;
      const xkb_keysym_t *syms = nullptr;
      int n = xkb.keymap_key_get_syms_by_level(keymap, key, l, level, &syms);
      if (n != 1 || syms[0] != ks) continue;
      xkb_mod_mask_t mods = 0;
      if (!mods_for(keymap, key, l, level, &mods)) continue;
      *out = {key, level, mods};
      return true;
    }
  }
  return false;
}

namespace {

// A key that selects levels while held, and what it does.
struct modifier_key {
  xkb_keycode_t key;
  xkb_mod_mask_t effect;  // the modifiers it gives, alone
};

// Keysyms of keys that give a modifier while held; the locks (Caps Lock, Num Lock) are not among
// them.
bool holds_a_modifier(xkb_keysym_t ks) {
  switch (ks) {
    case XKB_KEY_Shift_L:
    case XKB_KEY_Shift_R:
    case XKB_KEY_Control_L:
    case XKB_KEY_Control_R:
    case XKB_KEY_Meta_L:
    case XKB_KEY_Meta_R:
    case XKB_KEY_Alt_L:
    case XKB_KEY_Alt_R:
    case XKB_KEY_Super_L:
    case XKB_KEY_Super_R:
    case XKB_KEY_Hyper_L:
    case XKB_KEY_Hyper_R:
    case XKB_KEY_ISO_Level3_Shift:
    case XKB_KEY_ISO_Level5_Shift:
    case XKB_KEY_Mode_switch: return true;
    default: return false;
  }
}

// A state of keymap on layout with keys down.
xkb_state *state_with(xkb_keymap *keymap, xkb_layout_index_t layout, const xkb_keycode_t *keys, int n) {
  xkb_state *state = xkb.state_new(keymap);
  if (state == nullptr) return nullptr;
  xkb.state_update_mask(state, 0, 0, 0, 0, 0, layout);
  for (int i = 0; i < n; i++) xkb.state_update_key(state, keys[i], XKB_KEY_DOWN);
  return state;
}

// What is known of the keymap and layout that text was last typed on: found once, kept while they
// stay, so that a character costs no allocation and no search of the keymap once seen.
struct layout_cache {
  xkb_keymap *keymap;         // held with a reference, so that no other keymap takes its address
  xkb_layout_index_t layout;  // the layout (group) it was found for
  modifier_key mods[32];      // the keys of the layout that give modifiers, in key-code order
  int mod_count;              // how many of mods are found
  xkb_state *probe;           // a state of keymap, set to the modifiers each try needs
  struct {
    xkb_keysym_t ks;  // the keysym looked up, or 0 for an empty slot
    bool found;       // whether the layout has it
    key_level where;  // where, when it has
  } levels[256];      // lookups, by keysym modulo their number
};
layout_cache cache;

// The cache for keymap and layout, filled anew when either changed; its probe is null when
// libxkbcommon could not make a state.
layout_cache &cache_for(xkb_keymap *keymap, xkb_layout_index_t layout) {
  if (cache.keymap == keymap && cache.layout == layout) return cache;
  if (cache.probe != nullptr) xkb.state_unref(cache.probe);
  if (cache.keymap != nullptr) xkb.keymap_unref(cache.keymap);
  cache = {};
  cache.keymap = xkb.keymap_ref(keymap);
  cache.layout = layout;
  cache.probe = xkb.state_new(keymap);
  for (xkb_keycode_t key = xkb.keymap_min_keycode(keymap);
       key <= xkb.keymap_max_keycode(keymap) && cache.mod_count < 32; key++) {
    xkb_layout_index_t layouts = xkb.keymap_num_layouts_for_key(keymap, key);
    const xkb_keysym_t *syms = nullptr;
    if (layouts == 0 || !on_keyboard(key) ||
        xkb.keymap_key_get_syms_by_level(keymap, key, layout < layouts ? layout : 0, 0, &syms) != 1 ||
        !holds_a_modifier(syms[0]))
      continue;
    xkb_state *state = state_with(keymap, layout, &key, 1);
    if (state == nullptr) continue;
    xkb_mod_mask_t effect = xkb.state_serialize_mods(state, XKB_STATE_MODS_EFFECTIVE);
    xkb.state_unref(state);
    if (effect != 0) cache.mods[cache.mod_count++] = {key, effect};
  }
  return cache;
}

// find_level through the cache.
bool cached_level(layout_cache &c, xkb_keysym_t ks, key_level *out) {
  auto &slot = c.levels[ks % std::size(c.levels)];
  if (slot.ks != ks) {
    slot.ks = ks;
    slot.found = find_level(c.keymap, c.layout, ks, &slot.where);
  }
  *out = slot.where;
  return slot.found;
}

// The modifiers that the modifier keys among down[0..n) give.
xkb_mod_mask_t given_by(const layout_cache &c, const xkb_keycode_t *down, int n) {
  xkb_mod_mask_t given = 0;
  for (int i = 0; i < c.mod_count; i++)
    for (int h = 0; h < n; h++)
      if (c.mods[i].key == down[h]) given |= c.mods[i].effect;
  return given;
}

// Whether key types ks with the keys down[0..n) held (the user's and the level's modifiers).
bool types(layout_cache &c, const xkb_keycode_t *down, int n, xkb_keycode_t key, xkb_keysym_t ks) {
  if (c.probe == nullptr) return false;
  xkb.state_update_mask(c.probe, given_by(c, down, n), 0, 0, 0, 0, c.layout);
  return xkb.state_key_get_one_sym(c.probe, key) == ks;
}

// Adds to down, after its held keys, the modifier keys that make where's key type ks: those whose
// modifiers the level wants and the held keys do not give, each wanted bit once; else any one or
// two modifier keys that do it. Returns how many keys down then holds, or -1 when none do it.
int level_keys(layout_cache &c, const key_level &where, xkb_keysym_t ks, xkb_keycode_t (&down)[64],
               int held_count) {
  int count = held_count;
  xkb_mod_mask_t covered = given_by(c, down, held_count);
  for (int i = 0; i < c.mod_count && count < 64; i++) {
    xkb_mod_mask_t e = c.mods[i].effect;
    if ((e & ~where.mods) == 0 && (e & ~covered) != 0) {
      down[count++] = c.mods[i].key;
      covered |= e;
    }
  }
  if (types(c, down, count, where.key, ks)) return count;
  for (int i = -1; i < c.mod_count; i++) {
    for (int j = i; j < c.mod_count; j++) {
      count = held_count;
      if (i >= 0) down[count++] = c.mods[i].key;
      if (j > i) down[count++] = c.mods[j].key;
      if (types(c, down, count, where.key, ks)) return count;
    }
  }
  return -1;
}

}  // namespace

typed type_char(xkb_keymap *keymap, xkb_layout_index_t layout, uint32_t c, const bool (&held)[256],
                press_key press) {
  xkb_keysym_t ks = text_keysym(c);
  key_level where = {};
  layout_cache &known = cache_for(keymap, layout);
  if (ks == 0 || !cached_level(known, ks, &where)) return not_on_layout;
  // The keys down: the user's first, then the level's.
  xkb_keycode_t down[64];
  int held_count = 0;
  for (unsigned code = 0; code < 256 && held_count < 32; code++)
    if (held[code]) down[held_count++] = code + 8;
  int count = level_keys(known, where, ks, down, held_count);
  if (count < 0) return held_count > 0 ? held_in_the_way : not_on_layout;
  for (int i = held_count; i < count; i++) press(down[i] - 8, true);
  press(where.key - 8, true);
  press(where.key - 8, false);
  for (int i = count - 1; i >= held_count; i--) press(down[i] - 8, false);
  return typed_it;
}

void type_text(xkb_keymap *keymap, xkb_layout_index_t layout, const cg_record &r, const bool (&held)[256],
               bool caps_locked, press_key press) {
  unsigned caps_key = caps_locked ? caps_lock_key(keymap, layout) : 0;
  if (caps_key != 0) {
    press(caps_key, true);
    press(caps_key, false);
  }
  for (size_t i = 0; i < r.text_length; i++) {
    uint32_t c = r.text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < r.text_length)
      c = 0x10000 + ((c - 0xD800) << 10) + (r.text[++i] - 0xDC00u);
    typed t = type_char(keymap, layout, c, held, press);
    if (t == typed_it) continue;
    char text[5];
    const char *name = xkb.keymap_layout_get_name(keymap, layout);
    if (t == held_in_the_way)
      note_delivery(
          "T: cannot type U+%04X (%s) while K holds keys that change its level on the layout \"%s\"",
          static_cast<unsigned>(c), utf8_of(c, text), name != nullptr ? name : "unnamed");
    else
      note_delivery("T: cannot type U+%04X (%s): the layout \"%s\" has no key for it",
                    static_cast<unsigned>(c), utf8_of(c, text), name != nullptr ? name : "unnamed");
  }
  if (caps_key != 0) {
    press(caps_key, true);
    press(caps_key, false);
  }
}

unsigned caps_lock_key(xkb_keymap *keymap, xkb_layout_index_t layout) {
  key_level where = {};
  return keymap != nullptr && find_level(keymap, layout, XKB_KEY_Caps_Lock, &where) ? where.key - 8 : 0;
}

xkb_keysym_t text_keysym(uint32_t c) {
  switch (c) {
    case '\t': return XKB_KEY_Tab;
    case '\n':
    case '\r': return XKB_KEY_Return;
    case 0x08: return XKB_KEY_BackSpace;
    case 0x1b: return XKB_KEY_Escape;
    case 0x7f: return XKB_KEY_Delete;
    default: return c < 0x20 ? 0 : xkb.utf32_to_keysym(c);
  }
}
