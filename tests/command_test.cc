// The command loop: validation, over-long lines, the final release and the exit status.
#include <string>

#include "command/command.h"
#include "emit/post.h"
#include "fixture.h"

namespace {

// A whole run of the program from a fresh state, recording what it posts.
class loop : public ::testing::Test {
 protected:
  void SetUp() override {
    cg_reset();
    reset_program();
    cg_record_posts(true);
  }
  void TearDown() override {
    EXPECT_EQ(cg_live(), 0) << "platform objects leaked";
    cg_reset();
  }
};

// The log line of a keyboard event.
std::string kb(CGEventType type, int code, CGEventFlags flags = 0) {
  return "{\"tap\":0,\"type\":" + std::to_string(type) + ",\"flags\":" + std::to_string(flags) +
         ",\"keycode\":" + std::to_string(code) + "}";
}

const auto down = kCGEventKeyDown, up = kCGEventKeyUp, changed = kCGEventFlagsChanged;
const CGEventFlags shift = kCGEventFlagMaskShift;

std::vector<std::string> posted_lines() {
  std::vector<std::string> lines;
  for (size_t i = 0; i < cg_post_count(); i++) {
    char buf[256];
    size_t n = cg_format(cg_posts()[i], buf, sizeof buf);
    lines.emplace_back(buf, n);
  }
  return lines;
}

std::string spaces(size_t n) { return std::string(n, ' '); }

struct run_case {
  const char *what;
  std::string input;
  std::vector<std::string> events;  // everything posted, the final release included
};

// Each row proves one rule of the loop or the protocol's validation.
const run_case cases[] = {
    {"empty input", "", {}},
    {"last line without newline", "K KeyA 1", {kb(down, 0), kb(up, 0)}},
    {"CRLF", "K KeyA 1\r\nK KeyA 0\r\n", {kb(down, 0), kb(up, 0)}},
    {"letter joined to name", "KKeyA 1\n", {kb(down, 0), kb(up, 0)}},
    {"down 2 and -1 ignored", "K KeyA 2\nK KeyA -1\n", {}},
    {"missing down ignored", "K KeyA\n", {}},
    {"lower case, leading blank", "k KeyA 1\n K KeyA 1\n\n\t\n", {}},
    {"name over 31 characters", "K KeyAKeyAKeyAKeyAKeyAKeyAKeyAKeyA 1\n", {}},
    {"R with trailing text", "K KeyA 1\nRelease please\nK KeyA 0\n", {kb(down, 0), kb(up, 0)}},
    // The end of input releases in table order, each release with what is still held.
    {"final release order",
     "K ShiftLeft 1\nK KeyC 1\nK KeyA 1\n",
     {kb(changed, 56, shift), kb(down, 8, shift), kb(down, 0, shift), kb(up, 0, shift), kb(up, 8, shift),
      kb(changed, 56)}},
    {"end of input releases keys, then buttons",
     "M 1 2\nB 1 2 0 1\nW 1 2 3 4\nK KeyA 1\n",
     {R"({"tap":0,"type":5,"flags":0,"x":1,"y":2,"button":0,"click":0})",
      R"({"tap":0,"type":1,"flags":0,"x":1,"y":2,"button":0,"click":1})",
      R"({"tap":0,"type":22,"flags":0,"unit":0,"wheels":2,"wheel1":-4,"wheel2":-3})", kb(down, 0), kb(up, 0),
      R"({"tap":0,"type":2,"flags":0,"x":1,"y":2,"button":0,"click":1})"}},
    // 95 characters are a whole line; its newline is a line of its own, and the next line runs.
    {"exactly 95 characters",
     "K KeyA 1" + spaces(87) + "\nK KeyB 1\n",
     {kb(down, 0), kb(down, 11), kb(up, 0), kb(up, 11)}},
    // Past 95 characters the rest of the line is discarded, command letters and all.
    {"96 characters",
     "K KeyA 1" + spaces(88) + "\nK KeyB 1\n",
     {kb(down, 0), kb(down, 11), kb(up, 0), kb(up, 11)}},
    {"rest of long line discarded",
     "K KeyA 1" + spaces(87) + "K KeyB 1\nR\nK KeyC 1\n",
     {kb(down, 0), kb(up, 0), kb(down, 8), kb(up, 8)}},
    {"rest discarded across pieces",
     "K KeyA 1" + spaces(300) + "R\nK KeyB 1 R R R\n",
     {kb(down, 0), kb(down, 11), kb(up, 0), kb(up, 11)}},
    // A NUL byte inside the first 95 characters does not hide the line's length.
    {"NUL inside long line",
     std::string("K KeyA 1\0", 9) + spaces(90) + "K KeyB 1\nK KeyC 1\n",
     {kb(down, 0), kb(down, 8), kb(up, 0), kb(up, 8)}},
    {"long line ends input", "K KeyA 1" + spaces(200), {kb(down, 0), kb(up, 0)}},
};

TEST_F(loop, cases) {
  for (const run_case &c : cases) {
    SCOPED_TRACE(c.what);
    cg_clear_posts();
    reset_program();
    EXPECT_EQ(run_text(c.input), 0);
    EXPECT_EQ(posted_lines(), c.events);
  }
}

TEST_F(loop, source_failure_exits_1_and_posts_nothing) {
  cg_fail(cg_fail_source, true);
  EXPECT_EQ(run_text("K KeyA 1\nR\n"), 1);
  EXPECT_EQ(cg_post_count(), 0u);
}

// Failed key events stop nothing: later commands and the final release still run.
TEST_F(loop, failed_creations_do_not_stop_the_loop) {
  cg_fail(cg_fail_keyboard, true);
  EXPECT_EQ(run_text("K ShiftLeft 1\nK KeyA 1\n"), 0);
  EXPECT_EQ(cg_post_count(), 0u);
}

}  // namespace
