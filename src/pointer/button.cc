#include "pointer/button.h"

#include "emit/post.h"
#include "pointer/motion.h"

int32_t click_x[button_count];
int32_t click_y[button_count];
double clicked[button_count];
uint32_t click_count[button_count];

namespace {

// Whether a press at the stored position, at time now, continues button b's multiple click.
bool continues_click(int b, double now) {
  // Positions span all 32 bits; their difference needs 64 so that far-apart presses never wrap
  // into a near one.
  int64_t dx = int64_t{mouse_x} - click_x[b];
  int64_t dy = int64_t{mouse_y} - click_y[b];
  return dx >= -4 && dx <= 4 && dy >= -4 && dy <= 4 && now - clicked[b] < 0.45;
}

}  // namespace

void button(int32_t x, int32_t y, int b, int down) {
  if (held_buttons[b] == down) return;
  // Before the held flag changes, so that a release at a new position drags there first.
  move_if_changed(x, y);
  held_buttons[b] = static_cast<uint8_t>(down);
  if (down != 0) {
    double now = static_cast<double>(clock_gettime_nsec_np(CLOCK_UPTIME_RAW)) / 1e9;
    click_count[b] = continues_click(b, now) ? click_count[b] % 3 + 1 : 1;
    click_x[b] = mouse_x;
    click_y[b] = mouse_y;
    clicked[b] = now;
  }
  post(button_event(b, down));
}

CGEventRef button_event(int b, int down) {
  static constexpr CGEventType events[button_count][2] = {
      {kCGEventLeftMouseUp, kCGEventLeftMouseDown},   {kCGEventOtherMouseUp, kCGEventOtherMouseDown},
      {kCGEventRightMouseUp, kCGEventRightMouseDown}, {kCGEventOtherMouseUp, kCGEventOtherMouseDown},
      {kCGEventOtherMouseUp, kCGEventOtherMouseDown},
  };
  CGPoint at = {static_cast<double>(mouse_x), static_cast<double>(mouse_y)};
  CGEventRef event = CGEventCreateMouseEvent(source, events[b][down], at, mac_buttons[b]);
  if (event != nullptr) CGEventSetIntegerValueField(event, kCGMouseEventClickState, click_count[b]);
  return event;
}

void release_buttons() {
  for (int b = 0; b < button_count; b++) {
    if (held_buttons[b] == 0) continue;
    held_buttons[b] = 0;
    post(button_event(b, 0));
  }
}
