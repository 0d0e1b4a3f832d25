// Finding keysyms on a layout with libxkbcommon (loaded by the Wayland backend's tables).
#include "layout.h"

#include "wayland.h"

namespace {

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
      if (layouts == 0) continue;
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

const char *utf8_of(uint32_t c, char (&out)[5]) {
  int n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  static constexpr unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (int i = n - 1; i > 0; i--, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
  out[0] = static_cast<char>(n == 1 ? c : lead[n] | c);
  out[n] = '\0';
  return out;
}
