#include "pointer/motion.h"

#include "emit/post.h"

int32_t mouse_x;
int32_t mouse_y;
bool positioned;
uint8_t held_buttons[button_count];

void move(int32_t x, int32_t y) {
  static constexpr CGEventType drag[button_count] = {kCGEventLeftMouseDragged, kCGEventOtherMouseDragged,
                                                     kCGEventRightMouseDragged, kCGEventOtherMouseDragged,
                                                     kCGEventOtherMouseDragged};
  positioned = true;
  mouse_x = x;
  mouse_y = y;
  CGPoint at = {static_cast<double>(x), static_cast<double>(y)};
  for (int b = 0; b < button_count; b++) {
    if (held_buttons[b] != 0) {
      post(CGEventCreateMouseEvent(source, drag[b], at, mac_buttons[b]));
      return;
    }
  }
  post(CGEventCreateMouseEvent(source, kCGEventMouseMoved, at, kCGMouseButtonLeft));
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
