#include "emit/post.h"

#include <array>

#include "keyboard/key.h"

CGEventSourceRef source;
uint64_t unposted;
void (*posting)(bool posted);

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

// The rows of the key table that carry a flag, found in the table when compiling: every event asks
// for the mask, and only these rows can change it.
struct modifier_row {
  uint8_t row;        // key-table row
  CGEventFlags flag;  // its mask bit
};

constexpr auto modifier_rows = [] {
  std::array<modifier_row, 8> rows{};
  size_t n = 0;
  for (size_t row = 0; row < std::size(keys); row++)
    if (mask_bit(keys[row].mac) != 0) rows.at(n++) = {static_cast<uint8_t>(row), mask_bit(keys[row].mac)};
  return rows;
}();
static_assert(modifier_rows.back().flag != 0, "the table has eight modifier keys");

}  // namespace

CGEventFlags modifier_mask() {
  CGEventFlags mask = 0;
  for (modifier_row m : modifier_rows)
    if (held_keys[m.row] != 0) mask |= m.flag;
  return mask;
}

void post(CGEventRef event) {
  if (event == nullptr) {
    unposted++;
    return;
  }
  // Replace, not add to, whatever flags the platform gave the event: only held modifiers count.
  CGEventSetFlags(event, modifier_mask());
  if (posting != nullptr) posting(false);
  CGEventPost(kCGHIDEventTap, event);
  if (posting != nullptr) posting(true);
  CFRelease(event);
}
