// Pointer motion and scrolling: moves, drags and the scroll wheel.
#include "fixture.h"
#include "pointer/motion.h"

namespace {

using pointer = program;

struct motion_case {
  const char *what;
  const char *commands;
  std::vector<std::string> events;
};

// Each row proves one rule of motion and scrolling.
const motion_case cases[] = {
    {"first move posts even at the origin", "M 0 0\n", {"moved 0,0 b0 c0"}},
    {"a move never skips", "M 5 6\nM 5 6\n", {"moved 5,6 b0 c0", "moved 5,6 b0 c0"}},
    {"positions pass unchanged", "M -2147483648 2147483647\n", {"moved -2147483648,2147483647 b0 c0"}},
    {"one number is no move", "M 5\nM\nM x 1\n", {}},
    {"scroll at the current position", "M 5 6\nW 5 6 0 120\n", {"moved 5,6 b0 c0", "scroll -120,0"}},
    {"scroll at a new position moves first",
     "M 5 6\nW 7 6 -40 0\n",
     {"moved 5,6 b0 c0", "moved 7,6 b0 c0", "scroll 0,40"}},
    {"scroll before any position moves first", "W 0 0 0 0\n", {"moved 0,0 b0 c0", "scroll 0,0"}},
    {"scroll limits hold",
     "W 1 1 -1000 1000\nW 1 1 1001 0\nW 1 1 0 -1001\nW 1 1 1 \n",
     {"moved 1,1 b0 c0", "scroll -1000,1000"}},
    {"modifiers reach moves and scrolls",
     "K ShiftLeft 1\nK MetaLeft 1\nM 1 2\nW 1 2 3 4\n",
     {"flags-changed 56 shift", "flags-changed 55 shift cmd", "moved 1,2 b0 c0 shift cmd",
      "scroll -4,-3 shift cmd"}},
    {"a drag with the left button held",
     "B 1 1 0 1\nM 2 2\nW 3 3 0 1\nB 3 3 0 0\nM 4 4\n",
     {"moved 1,1 b0 c0", "left-down 1,1 b0 c1", "left-dragged 2,2 b0 c0", "left-dragged 3,3 b0 c0",
      "scroll -1,0", "left-up 3,3 b0 c1", "moved 4,4 b0 c0"}},
};

TEST_F(pointer, cases) {
  for (const motion_case &c : cases) {
    SCOPED_TRACE(c.what);
    reset_program();
    handle_lines(c.commands);
    EXPECT_EQ(take_text(), c.events);
  }
}

// The drag is the first held button in the order left, middle, right, with its platform number.
TEST_F(pointer, drag_follows_first_held_button) {
  const char *const expected[8] = {
      "moved 3,4 b0 c0",          // none held
      "left-dragged 3,4 b0 c0",   // left
      "other-dragged 3,4 b2 c0",  // middle: platform button 2
      "left-dragged 3,4 b0 c0",   // left and middle
      "right-dragged 3,4 b1 c0",  // right: platform button 1
      "left-dragged 3,4 b0 c0",   // left and right
      "other-dragged 3,4 b2 c0",  // middle and right
      "left-dragged 3,4 b0 c0",   // all three
  };
  for (int held = 0; held < 8; held++) {
    SCOPED_TRACE(held);
    reset_program();
    for (int b = 0; b < 3; b++) held_buttons[b] = (held >> b) & 1;
    move(3, 4);
    EXPECT_EQ(take_text(), std::vector<std::string>{expected[held]});
  }
}

// A failed creation still moves the stored position: the next scroll there posts no move.
TEST_F(pointer, failed_move_still_positions) {
  cg_fail(cg_fail_mouse, true);
  handle_lines("M 8 9\n");
  EXPECT_TRUE(positioned);
  cg_fail(cg_fail_mouse, false);
  cg_fail(cg_fail_scroll, true);
  handle_lines("W 8 9 1 1\nW 1 1 1 1\n");
  EXPECT_EQ(take_text(), std::vector<std::string>{"moved 1,1 b0 c0"});
}

}  // namespace
