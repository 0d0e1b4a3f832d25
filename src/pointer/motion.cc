#include "pointer/motion.h"

#include "emit/post.h"

int32_t mouse_x;
int32_t mouse_y;
bool positioned;
uint8_t held_buttons[button_count];

namespace {

// A move to at: a drag of the first held button in the order left, middle, right, back, forward,
// else a plain move. None when the platform cannot make it.
CGEventRef motion_event(CGPoint at) {
  static constexpr CGEventType drag[button_count] = {kCGEventLeftMouseDragged, kCGEventOtherMouseDragged,
                                                     kCGEventRightMouseDragged, kCGEventOtherMouseDragged,
                                                     kCGEventOtherMouseDragged};
  for (int b = 0; b < button_count; b++)
    if (held_buttons[b] != 0) return CGEventCreateMouseEvent(source, drag[b], at, mac_buttons[b]);
  return CGEventCreateMouseEvent(source, kCGEventMouseMoved, at, kCGMouseButtonLeft);
}

}  // namespace

void move(int32_t x, int32_t y) {
  positioned = true;
  mouse_x = x;
  mouse_y = y;
  post(motion_event({static_cast<double>(x), static_cast<double>(y)}));
}

void move_by(int32_t dx, int32_t dy) {
  positioned = false;
  // An event made without a source carries the pointer's current location.
  CGEventRef here = CGEventCreate(nullptr);
  if (here == nullptr) {
    post(nullptr);  // counted as not posted
    return;
  }
  CGPoint at = CGEventGetLocation(here);
  CFRelease(here);
  at.x += dx;
  at.y += dy;
  CGEventRef e = motion_event(at);
  if (e != nullptr) {
    CGEventSetIntegerValueField(e, kCGMouseEventDeltaX, dx);
    CGEventSetIntegerValueField(e, kCGMouseEventDeltaY, dy);
  }
  post(e);
}

void move_if_changed(int32_t x, int32_t y) {
  // Compares with the position the program set; the real pointer is never read.
  if (!positioned || x != mouse_x || y != mouse_y) move(x, y);
}

void wheel(int32_t x, int32_t y, int32_t dx, int32_t dy) {
  move_if_changed(x, y);
  // Quartz's positive wheel values scroll up and left; the protocol's positive deltas scroll
  // down and right, as a web page's wheel deltas do.
  post(CGEventCreateScrollWheelEvent(source, kCGScrollEventUnitPixel, 2, -dy, -dx));
}
