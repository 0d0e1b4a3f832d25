// Mouse buttons: presses and releases, drags before them, click counting, the final release.
#include <string>

#include "command/command.h"
#include "fixture.h"
#include "pointer/button.h"
#include "pointer/motion.h"

namespace {

using buttons = program;

// A command carried out at a time of the uptime clock, in nanoseconds.
struct timed {
  uint64_t ns;
  const char *command;
};

struct click_case {
  const char *what;
  std::vector<timed> commands;
  std::vector<int64_t> clicks;  // the click state of each button event, in order
};

constexpr uint64_t s = 1000000000;  // one second
constexpr uint64_t ms = 1000000;    // one millisecond

std::vector<timed> clicks_at(const char *press, const char *release, std::vector<uint64_t> times) {
  std::vector<timed> v;
  for (uint64_t t : times) {
    v.push_back({t, press});
    v.push_back({t + 10 * ms, release});
  }
  return v;
}

// Each row proves one rule of click counting.
const click_case click_cases[] = {
    // Each press is measured against the one before it, so the series wraps 3 to 1 and goes on.
    {"four quick clicks",
     clicks_at("B 10 10 0 1\n", "B 10 10 0 0\n", {s, s + 200 * ms, s + 400 * ms, s + 600 * ms}),
     {1, 1, 2, 2, 3, 3, 1, 1}},
    {"five quick clicks",
     clicks_at("B 10 10 0 1\n", "B 10 10 0 0\n", {s, s + 200 * ms, s + 400 * ms, s + 600 * ms, s + 800 * ms}),
     {1, 1, 2, 2, 3, 3, 1, 1, 2, 2}},
    // 0.5 - 0.05 is exactly 0.45 in doubles: equality starts over.
    {"0.45 s apart starts over", clicks_at("B 0 0 0 1\n", "B 0 0 0 0\n", {50 * ms, 500 * ms}), {1, 1, 1, 1}},
    {"just under 0.45 s continues",
     clicks_at("B 0 0 0 1\n", "B 0 0 0 0\n", {50 * ms, 500 * ms - 1}),
     {1, 1, 2, 2}},
    {"first press counts 1 even at start", clicks_at("B 0 0 0 1\n", "B 0 0 0 0\n", {0}), {1, 1}},
    {"4 pixels on both axes continue",
     {{s, "B 10 10 0 1\n"}, {s, "B 10 10 0 0\n"}, {s + 1, "B 14 6 0 1\n"}, {s + 1, "B 14 6 0 0\n"}},
     {1, 1, 2, 2}},
    {"5 pixels on x starts over",
     {{s, "B 10 10 0 1\n"}, {s, "B 10 10 0 0\n"}, {s + 1, "B 5 10 0 1\n"}, {s + 1, "B 5 10 0 0\n"}},
     {1, 1, 1, 1}},
    {"5 pixels on y starts over",
     {{s, "B 10 10 0 1\n"}, {s, "B 10 10 0 0\n"}, {s + 1, "B 10 15 0 1\n"}, {s + 1, "B 10 15 0 0\n"}},
     {1, 1, 1, 1}},
    // A 32-bit difference would wrap to 1 and count a double click across the whole range.
    {"opposite ends of the range",
     {{s, "B 2147483647 0 0 1\n"},
      {s, "B 2147483647 0 0 0\n"},
      {s + 1, "B -2147483648 0 0 1\n"},
      {s + 1, "B -2147483648 0 0 0\n"}},
     {1, 1, 1, 1}},
    {"opposite ends on y",
     {{s, "B 0 -2147483648 0 1\n"},
      {s, "B 0 -2147483648 0 0\n"},
      {s + 1, "B 0 2147483647 0 1\n"},
      {s + 1, "B 0 2147483647 0 0\n"}},
     {1, 1, 1, 1}},
    // Counts are per button: a right click between two left presses does not break the series.
    {"separate per button",
     {{s, "B 1 1 0 1\n"},
      {s, "B 1 1 0 0\n"},
      {s + 1, "B 1 1 2 1\n"},
      {s + 1, "B 1 1 2 0\n"},
      {s + 2, "B 1 1 0 1\n"},
      {s + 2, "B 1 1 0 0\n"}},
     {1, 1, 1, 1, 2, 2}},
    {"back and forward count apart",
     {{s, "B 1 1 3 1\n"},
      {s, "B 1 1 3 0\n"},
      {s + 1, "B 1 1 4 1\n"},
      {s + 1, "B 1 1 4 0\n"},
      {s + 2, "B 1 1 3 1\n"},
      {s + 2, "B 1 1 3 0\n"}},
     {1, 1, 1, 1, 2, 2}},
    // Only presses are timed; a release carries its press's count however late it comes.
    {"releases carry the press's count",
     {{s, "B 1 1 1 1\n"},
      {s + 100 * ms, "B 1 1 1 0\n"},
      {s + 200 * ms, "B 1 1 1 1\n"},
      {s + 90 * s, "B 1 1 1 0\n"}},
     {1, 1, 2, 2}},
};

TEST_F(buttons, click_counting) {
  for (const click_case &c : click_cases) {
    SCOPED_TRACE(c.what);
    reset_program();
    for (const timed &t : c.commands) {
      cg_set_clock(t.ns);
      handle(t.command);
    }
    std::vector<int64_t> clicks;
    for (const cg_record &r : take())
      if (r.type != kCGEventMouseMoved && r.type != kCGEventLeftMouseDragged) clicks.push_back(r.click);
    EXPECT_EQ(clicks, c.clicks);
  }
}

struct button_case {
  const char *what;
  const char *commands;
  std::vector<std::string> events;
};

// Each row proves one rule of the button events (the clock stands still: every press is quick).
const button_case button_cases[] = {
    {"first press moves first, even at the origin",
     "B 0 0 0 1\n",
     {"moved 0,0 b0 c0", "left-down 0,0 b0 c1"}},
    {"middle and right use platform buttons 2 and 1",
     "B 1 1 1 1\nB 1 1 2 1\nB 1 1 1 0\nB 1 1 2 0\n",
     {"moved 1,1 b0 c0", "other-down 1,1 b2 c1", "right-down 1,1 b1 c1", "other-up 1,1 b2 c1",
      "right-up 1,1 b1 c1"}},
    {"press of a held button does nothing",
     "B 1 1 0 1\nB 9 9 0 1\nW 1 1 0 0\n",
     {"moved 1,1 b0 c0", "left-down 1,1 b0 c1", "scroll 0,0"}},
    {"release of a button not held does nothing",
     "M 1 1\nB 9 9 0 0\nB 9 9 2 0\nW 1 1 0 0\n",
     {"moved 1,1 b0 c0", "scroll 0,0"}},
    {"release at a new position drags there first",
     "B 1 1 2 1\nB 5 5 2 0\n",
     {"moved 1,1 b0 c0", "right-down 1,1 b1 c1", "right-dragged 5,5 b1 c0", "right-up 5,5 b1 c1"}},
    {"press while another is held drags with it",
     "B 1 1 2 1\nB 5 5 0 1\n",
     {"moved 1,1 b0 c0", "right-down 1,1 b1 c1", "right-dragged 5,5 b1 c0", "left-down 5,5 b0 c1"}},
    // With left and right held, the move before the right release is the left button's drag.
    {"release right while left is held",
     "B 1 1 0 1\nB 1 1 2 1\nB 7 8 2 0\n",
     {"moved 1,1 b0 c0", "left-down 1,1 b0 c1", "right-down 1,1 b1 c1", "left-dragged 7,8 b0 c0",
      "right-up 7,8 b1 c1"}},
    {"buttons carry modifiers",
     "K MetaLeft 1\nB 2 2 0 1\nB 2 2 0 0\n",
     {"flags-changed 55 cmd", "moved 2,2 b0 c0 cmd", "left-down 2,2 b0 c1 cmd", "left-up 2,2 b0 c1 cmd"}},
    {"back and forward are other buttons 3 and 4",
     "B 1 1 3 1\nB 1 1 4 1\nB 1 1 3 0\nB 1 1 4 0\n",
     {"moved 1,1 b0 c0", "other-down 1,1 b3 c1", "other-down 1,1 b4 c1", "other-up 1,1 b3 c1",
      "other-up 1,1 b4 c1"}},
    {"with only back held, a move drags it",
     "B 1 1 3 1\nM 6 6\nB 6 6 3 0\nM 7 7\n",
     {"moved 1,1 b0 c0", "other-down 1,1 b3 c1", "other-dragged 6,6 b3 c0", "other-up 6,6 b3 c1",
      "moved 7,7 b0 c0"}},
    {"right comes before back in choosing the drag",
     "B 1 1 4 1\nB 1 1 2 1\nM 2 2\n",
     {"moved 1,1 b0 c0", "other-down 1,1 b4 c1", "right-down 1,1 b1 c1", "right-dragged 2,2 b1 c0"}},
    {"invalid buttons and states are ignored", "B 1 1 5 1\nB 1 1 -1 1\nB 1 1 0 2\nB 1 1 0 -1\nB 1 1 0\n", {}},
    // Keys first in table order, then buttons left, middle, right, back, forward, at the stored
    // position with no modifier left.
    {"R releases keys then buttons",
     "K ShiftLeft 1\nB 3 3 4 1\nB 3 3 2 1\nB 3 3 3 1\nB 3 3 1 1\nB 3 3 0 1\nM 4 4\nR\n",
     {"flags-changed 56 shift", "moved 3,3 b0 c0 shift", "other-down 3,3 b4 c1 shift",
      "right-down 3,3 b1 c1 shift", "other-down 3,3 b3 c1 shift", "other-down 3,3 b2 c1 shift",
      "left-down 3,3 b0 c1 shift", "left-dragged 4,4 b0 c0 shift", "flags-changed 56", "left-up 4,4 b0 c1",
      "other-up 4,4 b2 c1", "right-up 4,4 b1 c1", "other-up 4,4 b3 c1", "other-up 4,4 b4 c1"}},
};

TEST_F(buttons, events) {
  cg_set_clock(5 * s);
  for (const button_case &c : button_cases) {
    SCOPED_TRACE(c.what);
    reset_program();
    handle_lines(c.commands);
    EXPECT_EQ(take_text(), c.events);
  }
}

// A failed creation still records the press: the release finds the button held, with its count.
TEST_F(buttons, failed_creation_keeps_state) {
  cg_set_clock(s);
  cg_fail(cg_fail_mouse, true);
  handle_lines("B 4 4 0 1\n");
  EXPECT_EQ(held_buttons[0], 1);
  EXPECT_EQ(click_count[0], 1u);
  EXPECT_TRUE(positioned);
  cg_fail(cg_fail_mouse, false);
  handle_lines("B 4 4 0 0\nB 4 4 0 1\n");
  EXPECT_EQ(take_text(), (std::vector<std::string>{"left-up 4,4 b0 c1", "left-down 4,4 b0 c2"}));
  release_all();
  EXPECT_EQ(take_text(), std::vector<std::string>{"left-up 4,4 b0 c2"});
}

}  // namespace
