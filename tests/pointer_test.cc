// Pointer motion and scrolling: moves, drags and the scroll wheel.
#include "emit/post.h"
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
    // D moves from where the last move put the pointer, carries its deltas, and leaves the
    // program not knowing the position: the next B or W moves to its place first.
    {"a relative move from the last position",
     "M 10 20\nD 5 -7\n",
     {"moved 10,20 b0 c0", "moved 15,13 b0 c0 d5,-7"}},
    {"relative moves add up",
     "D 1 2\nD -3 0\nD 0 0\n",
     {"moved 1,2 b0 c0 d1,2", "moved -2,2 b0 c0 d-3,0", "moved -2,2 b0 c0 d0,0"}},
    {"extreme deltas",
     "D -2147483648 2147483647\n",
     {"moved -2147483648,2147483647 b0 c0 d-2147483648,2147483647"}},
    {"one number is no relative move", "D 5\nD\nDx 1 1\nD 1 99999999999\n", {}},
    {"a click after D moves to its place first, even where M was",
     "M 4 4\nD 1 1\nB 4 4 0 1\nB 4 4 0 0\n",
     {"moved 4,4 b0 c0", "moved 5,5 b0 c0 d1,1", "moved 4,4 b0 c0", "left-down 4,4 b0 c1",
      "left-up 4,4 b0 c1"}},
    {"a scroll after D moves first",
     "M 4 4\nD 0 0\nW 4 4 0 1\n",
     {"moved 4,4 b0 c0", "moved 4,4 b0 c0 d0,0", "moved 4,4 b0 c0", "scroll -1,0"}},
    {"D drags the held button, and the release comes where B says",
     "B 1 1 2 1\nD 3 4\nB 1 1 2 0\n",
     {"moved 1,1 b0 c0", "right-down 1,1 b1 c1", "right-dragged 4,5 b1 c0 d3,4", "right-dragged 1,1 b1 c0",
      "right-up 1,1 b1 c1"}},
    {"modifiers reach relative moves",
     "K ShiftLeft 1\nD 1 1\n",
     {"flags-changed 56 shift", "moved 1,1 b0 c0 d1,1 shift"}},
    {"a drag with the left button held",
     "B 1 1 0 1\nM 2 2\nW 3 3 0 1\nB 3 3 0 0\nM 4 4\n",
     {"moved 1,1 b0 c0", "left-down 1,1 b0 c1", "left-dragged 2,2 b0 c0", "left-dragged 3,3 b0 c0",
      "scroll -1,0", "left-up 3,3 b0 c1", "moved 4,4 b0 c0"}},
};

TEST_F(pointer, cases) {
  for (const motion_case &c : cases) {
    SCOPED_TRACE(c.what);
    reset_program();
    cg_move_pointer({0, 0});
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

// D starts from where the pointer is, wherever the program last put it: the user may have moved it.
TEST_F(pointer, relative_move_starts_where_the_pointer_is) {
  handle_lines("M 10 10\n");
  cg_move_pointer({300.5, -40});
  handle_lines("D 2 3\n");
  std::vector<std::string> got = take_text();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], "moved 302.5,-37 b0 c0 d2,3");
}

// A click after D still counts with the presses before it: positions are the presses' own.
TEST_F(pointer, clicks_count_across_relative_moves) {
  handle_lines("B 9 9 0 1\nB 9 9 0 0\nD 50 50\nB 9 9 0 1\nB 9 9 0 0\n");
  std::vector<std::string> got = take_text();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[6], "left-up 9,9 b0 c2");
}

// A D whose location cannot be read posts nothing and is counted; the program still does not
// know the position.
TEST_F(pointer, failed_relative_move_is_counted) {
  handle_lines("M 1 1\n");
  cg_fail(cg_fail_mouse, true);
  uint64_t before = unposted;
  handle_lines("D 1 1\n");
  EXPECT_EQ(unposted, before + 1);
  EXPECT_FALSE(positioned);
  cg_fail(cg_fail_mouse, false);
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
