// The X server's keymap (XWayland's included), for the backends that press keys on a device of
// their own: read through libxkbcommon-x11 on a connection of libxcb's, both loaded when asked.
#include <xkbcommon/xkbcommon-x11.h>

#include <cstdio>
#include <cstdlib>

#include "host.h"
#include "shared/keymap.h"
#include "shared/symbols.h"
#include "x11/xlib.h"

namespace {

// The functions used from libxcb and libxkbcommon-x11.
struct {
  decltype(&xcb_connect) connect;
  decltype(&xcb_connection_has_error) has_error;
  decltype(&xcb_disconnect) disconnect;
  decltype(&xkb_x11_setup_xkb_extension) setup_xkb_extension;
  decltype(&xkb_x11_get_core_keyboard_device_id) core_keyboard;
  decltype(&xkb_x11_keymap_new_from_device) keymap_new;
  decltype(&xkb_x11_state_new_from_device) state_new;
} xx;

bool load(const char **why) {
  static int loaded;  // 1 loaded, -1 failed
  if (loaded == 0) {
    void *xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    void *x11 = xcb != nullptr ? dlopen("libxkbcommon-x11.so.0", RTLD_NOW | RTLD_LOCAL) : nullptr;
    loaded = x11 != nullptr && find_symbol(xcb, "xcb_connect", &xx.connect) &&
                     find_symbol(xcb, "xcb_connection_has_error", &xx.has_error) &&
                     find_symbol(xcb, "xcb_disconnect", &xx.disconnect) &&
                     find_symbol(x11, "xkb_x11_setup_xkb_extension", &xx.setup_xkb_extension) &&
                     find_symbol(x11, "xkb_x11_get_core_keyboard_device_id", &xx.core_keyboard) &&
                     find_symbol(x11, "xkb_x11_keymap_new_from_device", &xx.keymap_new) &&
                     find_symbol(x11, "xkb_x11_state_new_from_device", &xx.state_new)
                 ? 1
                 : -1;
  }
  if (loaded < 0) *why = "cannot load libxkbcommon-x11 (Debian: libxkbcommon-x11-0)";
  return loaded > 0;
}

}  // namespace

xkb_keymap *x11_server_keymap(xkb_layout_index_t *layout, bool *caps_locked, const char **why) {
  const char *name = getenv("DISPLAY");
  if (name == nullptr || *name == '\0' || !load(why)) return nullptr;
  unsigned ms = 0;
  if (!x11_answers(name, &ms)) {
    *why = "no X server answers there";
    return nullptr;
  }
  xkb_context *context = xkb_quiet_context();
  if (context == nullptr) {
    *why = "libxkbcommon cannot make a context";
    return nullptr;
  }
  // libxcb waits for the server without a bound of its own.
  host_guard(ms, "cannot start: the X server does not answer the request for its keymap");
  xcb_connection_t *c = xx.connect(name, nullptr);
  xkb_keymap *keymap = nullptr;
  if (xx.has_error(c) != 0) {
    *why = "the X server refused the connection";
  } else if (xx.setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                    XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr,
                                    nullptr) == 0) {
    *why = "the X server has no XKB extension";
  } else {
    int32_t device = xx.core_keyboard(c);
    keymap = device < 0 ? nullptr : xx.keymap_new(context, c, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
    xkb_state *state = keymap != nullptr ? xx.state_new(keymap, c, device) : nullptr;
    if (state != nullptr) {
      *layout = xkb.state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE);
      xkb_mod_index_t lock = xkb.keymap_mod_get_index(keymap, XKB_MOD_NAME_CAPS);
      *caps_locked = lock != XKB_MOD_INVALID && (xkb.state_serialize_mods(state, XKB_STATE_MODS_LOCKED) &
                                                 (xkb_mod_mask_t{1} << lock)) != 0;
      xkb.state_unref(state);
    }
    if (keymap == nullptr) *why = "libxkbcommon-x11 cannot read its keymap";
  }
  xx.disconnect(c);
  host_unguard();
  xkb.context_unref(context);
  return keymap;
}
