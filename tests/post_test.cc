// The single posting path: flags replaced by the held modifiers, posted at the HID tap, released.
#include "emit/post.h"
#include "command/command.h"
#include "fixture.h"
#include "keyboard/key.h"

namespace {

using posting = program;

CGEventRef mouse_event() {
  return CGEventCreateMouseEvent(source, kCGEventLeftMouseDown, CGPoint{3, 4}, kCGMouseButtonLeft);
}

CGEventRef scroll_event() {
  return CGEventCreateScrollWheelEvent(source, kCGScrollEventUnitPixel, 2, -120, 40);
}

// The platform's own flags (non-coalesced) never survive posting.
TEST_F(posting, replaces_platform_flags) {
  post(mouse_event());
  handle("K CapsLock 1\n");
  post(scroll_event());
  auto posted = take();
  ASSERT_EQ(posted.size(), 3u);
  for (const cg_record &r : posted) {
    EXPECT_EQ(r.flags, 0u);
    EXPECT_EQ(r.tap, kCGHIDEventTap);
  }
  EXPECT_EQ(cg_live(), 1) << "posted events are released";
}

TEST_F(posting, modifiers_reach_pointer_and_scroll_events) {
  handle("K MetaLeft 1\n");
  handle("K AltLeft 1\n");
  take();
  post(mouse_event());
  post(scroll_event());
  for (const cg_record &r : take()) EXPECT_EQ(r.flags, kCGEventFlagMaskCommand | kCGEventFlagMaskAlternate);
}

// Each mask bit comes from either key of its pair and from no other key.
TEST_F(posting, mask_bits_per_key) {
  const std::pair<int, CGEventFlags> pairs[] = {
      {80, kCGEventFlagMaskCommand}, {81, kCGEventFlagMaskCommand},   {74, kCGEventFlagMaskShift},
      {75, kCGEventFlagMaskShift},   {78, kCGEventFlagMaskAlternate}, {79, kCGEventFlagMaskAlternate},
      {76, kCGEventFlagMaskControl}, {77, kCGEventFlagMaskControl},
  };
  for (auto [row, bit] : pairs) {
    reset_program();
    held_keys[row] = 1;
    EXPECT_EQ(modifier_mask(), bit) << keys[row].name;
  }
  reset_program();
  for (size_t row = 0; row < std::size(keys); row++) held_keys[row] = 1;
  for (auto [row, bit] : pairs) held_keys[row] = 0;
  EXPECT_EQ(modifier_mask(), 0u) << "no other key adds a flag";
}

TEST_F(posting, absent_event_does_nothing) {
  post(nullptr);
  EXPECT_EQ(cg_post_count(), 0u);
  EXPECT_EQ(cg_live(), 1);
}

}  // namespace
