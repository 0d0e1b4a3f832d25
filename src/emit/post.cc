#include "emit/post.h"

#include "keyboard/key.h"

namespace {

// The flag a virtual key contributes while held; caps lock and ordinary keys add nothing.
constexpr CGEventFlags mask_bit(int32_t mac) {
  switch (mac) {
    case 54:
    case 55: return kCGEventFlagMaskCommand;
    case 56:
    case 60: return kCGEventFlagMaskShift;
    case 58:
    case 61: return kCGEventFlagMaskAlternate;
    case 59:
    case 62: return kCGEventFlagMaskControl;
    default: return 0;
  }
}

}  // namespace

CGEventFlags modifier_mask() {
  CGEventFlags mask = 0;
  for (size_t row = 0; row < std::size(keys); row++)
    if (held_keys[row]) mask |= mask_bit(keys[row].mac);
  return mask;
}

void post(CGEventRef event) {
  if (event == nullptr) return;
  // Replace, not add to, whatever flags the platform gave the event: only held modifiers count.
  CGEventSetFlags(event, modifier_mask());
  CGEventPost(kCGHIDEventTap, event);
  CFRelease(event);
}
