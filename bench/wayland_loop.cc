// The Wayland ceiling: a bare loop of ours that makes the same virtual pointer and keyboard as
// hidpipe's Wayland backend and sends the same requests, flushed after each event as hidpipe
// flushes after each command.
//   wayland_loop moves N   N pointer moves (motion_absolute, frame) over 1280x720
//   wayland_loop relative N   N relative moves (motion, frame), 5 pixels right and back
//   wayland_loop keys N    N taps of the A key (press, release), with the default rules' keymap
//   wayland_loop fake-text N   the benchmark's US text N times, as KWin's fake input presses it (us_text.h)
//   wayland_loop sync N    N pointer moves, each followed by a round trip (wl_display_roundtrip), as
//                          a controller waiting for hidpipe's S replies makes them; prints
//                          "loop MOVES_PER_SECOND"
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fake-input-client.h"
#include "us_text.h"
#include "virtual-keyboard-client.h"
#include "wlr-virtual-pointer-client.h"

namespace {

wl_seat *seat;
zwlr_virtual_pointer_manager_v1 *pointers;
zwp_virtual_keyboard_manager_v1 *keyboards;
org_kde_kwin_fake_input *fake_input;

void on_global(void * /*d*/, wl_registry *r, uint32_t name, const char *interface, uint32_t version) {
  if (strcmp(interface, "wl_seat") == 0 && seat == nullptr)
    seat = static_cast<wl_seat *>(wl_registry_bind(r, name, &wl_seat_interface, 1));
  else if (strcmp(interface, "zwlr_virtual_pointer_manager_v1") == 0)
    pointers = static_cast<zwlr_virtual_pointer_manager_v1 *>(
        wl_registry_bind(r, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
  else if (strcmp(interface, "org_kde_kwin_fake_input") == 0 && version >= 4)
    fake_input = static_cast<org_kde_kwin_fake_input *>(
        wl_registry_bind(r, name, &org_kde_kwin_fake_input_interface, 4));
  else if (strcmp(interface, "zwp_virtual_keyboard_manager_v1") == 0)
    keyboards = static_cast<zwp_virtual_keyboard_manager_v1 *>(
        wl_registry_bind(r, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
}
void on_global_remove(void * /*d*/, wl_registry * /*r*/, uint32_t /*name*/) {}
const wl_registry_listener registry_listener = {on_global, on_global_remove};

uint32_t now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

// The benchmark's US text through KWin's fake input; 2 when the compositor has none.
int fake_text(wl_display *display, long repeats) {
  // Each key event a request of its own, flushed after each 50 characters, as hidpipe flushes
  // after each line of the benchmark's text.
  if (fake_input == nullptr) return 2;
  org_kde_kwin_fake_input_authenticate(fake_input, "wayland_loop", "the benchmark's ceiling");
  wl_display_roundtrip(display);
  std::string text;
  for (long r = 0; r < repeats; r++) text += us_text();
  for (size_t i = 0; i < text.size(); i += 50) {
    for (const auto &[code, down] : us_presses(text.substr(i, 50)))
      org_kde_kwin_fake_input_keyboard_key(fake_input, code, down ? 1 : 0);
    while (wl_display_flush(display) < 0) wl_display_dispatch_pending(display);
  }
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}

// The pointer's workloads: moves over 1280x720, relative moves 5 pixels right and back, or
// moves each followed by a round trip, timed ("loop MOVES_PER_SECOND").
void pointer_moves(wl_display *display, const std::string &mode, long count) {
  zwlr_virtual_pointer_v1 *pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointers, seat);
  wl_display_roundtrip(display);
  auto begin = std::chrono::steady_clock::now();
  for (long i = 0; i < count; i++) {
    if (mode == "relative") {
      zwlr_virtual_pointer_v1_motion(pointer, now(), wl_fixed_from_int(i % 2 == 0 ? 5 : -5), 0);
    } else if (mode == "sync") {
      zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), static_cast<uint32_t>(100 + i % 1000),
                                              static_cast<uint32_t>(100 + i / 1000 % 500), 1280, 720);
    } else {
      zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), static_cast<uint32_t>(1 + i % 1200),
                                              static_cast<uint32_t>(1 + i / 1200 % 700), 1280, 720);
    }
    zwlr_virtual_pointer_v1_frame(pointer);
    if (mode == "sync") {
      wl_display_roundtrip(display);
      continue;
    }
    while (wl_display_flush(display) < 0) wl_display_dispatch_pending(display);
  }
  if (mode != "sync") return;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  printf("loop %.0f\n", static_cast<double>(count) / seconds);
}

// count taps of the A key, with the default rules' keymap; false when the keymap cannot be sent.
bool key_taps(wl_display *display, long count) {
  xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap *keymap = xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
  char *text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  int fd = memfd_create("loop-keymap", MFD_CLOEXEC);
  size_t size = strlen(text) + 1;
  if (write(fd, text, size) != static_cast<ssize_t>(size)) return false;
  zwp_virtual_keyboard_v1 *keyboard =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
  zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, static_cast<uint32_t>(size));
  wl_display_roundtrip(display);
  for (long i = 0; i < 2 * count; i++) {
    zwp_virtual_keyboard_v1_key(keyboard, now(), 30, static_cast<uint32_t>(1 - i % 2));
    while (wl_display_flush(display) < 0) wl_display_dispatch_pending(display);
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  long count = argc > 2 ? atol(argv[2]) : 0;
  wl_display *display = wl_display_connect(nullptr);
  bool pointer_mode = mode == "moves" || mode == "relative" || mode == "sync";
  if (display == nullptr || (!pointer_mode && mode != "keys" && mode != "fake-text")) {
    fprintf(stderr, "usage: wayland_loop moves|relative|keys|fake-text|sync N, under WAYLAND_DISPLAY\n");
    return 2;
  }
  wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, nullptr);
  wl_display_roundtrip(display);
  if (mode == "fake-text") return fake_text(display, count);
  if (seat == nullptr || pointers == nullptr || keyboards == nullptr) return 2;
  if (pointer_mode)
    pointer_moves(display, mode, count);
  else if (!key_taps(display, count))
    return 2;
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
