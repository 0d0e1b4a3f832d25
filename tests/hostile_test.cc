// Hostile input through the binary: whatever arrives, exit 0, silence but for the replies to S
// lines, and only the protocol's effects.
#include <random>
#include <string>

#include "fixture.h"

namespace {

// Runs the binary on input and returns its events as describe() gives them, after checking that it
// exited 0 without a word (but the replies expected on standard output) and that its log is well
// formed.
std::vector<std::string> binary_events(const std::string &input, const std::string &replies = "") {
  process_result r = run_binary(input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, replies);
  EXPECT_EQ(r.err, "");
  std::vector<std::string> events;
  for (const std::string &line : r.log) {
    cg_record rec;
    EXPECT_TRUE(parse_log_line(line, &rec)) << line;
    events.push_back(describe(rec));
  }
  return events;
}

std::vector<std::string> lines(std::initializer_list<const char *> l) { return {l.begin(), l.end()}; }

// Each byte value as the first character of the same fields: only B, D, M, W, R and T post, S
// answers with its token, and P pauses 1 ms.
TEST(hostile, every_first_byte) {
  std::string input;
  for (int c = 0; c < 256; c++) input += std::string(1, static_cast<char>(c)) + " 1 2 0 1\n";
  EXPECT_EQ(binary_events(input, "S 1 2 0 1\n"),
            lines({
                "moved 1,2 b0 c0",              // B: the press moves first
                "left-down 1,2 b0 c1",          // (K: key "1" with down 2 is invalid)
                "left-dragged 2,4 b0 c0 d1,2",  // D: by (1, 2), a drag of the held button
                "left-dragged 1,2 b0 c0",       // M: never skips; drags the held button
                "left-up 1,2 b0 c1",            // R: releases it
                "key-down 0 \"1 2 0 1\"",       // T: types the rest of its line
                "key-up 0 \"1 2 0 1\"",
                "scroll -1,0",  // W: already there, so no move
            }));
}

struct hostile_case {
  const char *what;
  std::string input;
  std::vector<std::string> events;
};

std::string pad(const std::string &command, size_t length, const std::string &tail) {
  std::string line = command + std::string(length - command.size() - tail.size(), ' ') + tail;
  return line + "\n";
}

TEST(hostile, cases) {
  std::vector<hostile_case> cases = {
      {"NUL inside commands", std::string("K Key\0A 1\nM 1\0 2\nB 1 2 0 1\0junk\nK KeyB\0 1\n", 39),
       lines({"moved 1,2 b0 c0", "left-down 1,2 b0 c1", "left-up 1,2 b0 c1"})},
      {"CRLF", "K KeyA 1\r\nM 3 4\r\nR\r\n", lines({"key-down 0", "moved 3,4 b0 c0", "key-up 0"})},
      {"tabs and vertical tabs", "K\tKeyA\v1\nM\v5\t6\f\n\tM 7 8\n\vK KeyB 1\n",
       lines({"key-down 0", "moved 5,6 b0 c0", "key-up 0"})},
      {"signs alone", "M + 5\nM - 5\nM 5 -\nM 5 +\nW 1 1 + 1\nB 1 1 0 -\nK KeyA +\nM +-5 5\nM -+5 5\n", {}},
      {"numbers of 10 to 30 digits",
       "M 2147483647 -2147483648\nM 2147483648 0\nM 0 -2147483649\nM 9999999999 0\nM "
       "000000000000000000000000000012 "
       "-000000000000000000000000000034\nM 123456789012345678901234567890 0\nW 0 0 0 "
       "00000000000000000000001000\n"
       "W 0 0 0 00000000000000000000001001\nK KeyA 0000000000000000000000000001\n",
       lines({"moved 2147483647,-2147483648 b0 c0", "moved 12,-34 b0 c0", "moved 0,0 b0 c0", "scroll -1000,0",
              "key-down 0", "key-up 0"})},
  };
  // Lines of 94 to 200 characters: the command at their start runs once; a command in the rest
  // never runs, whether it falls inside the first 95 characters (trailing text) or past them.
  for (size_t length = 94; length <= 200; length += 1) {
    std::string input = pad("K KeyA 1", length, "K KeyB 1") + pad("K KeyA 0", length, "R");
    cases.push_back({"long line", input, lines({"key-down 0", "key-up 0"})});
  }
  for (const hostile_case &c : cases) {
    SCOPED_TRACE(c.what + std::string(" ") + std::to_string(c.input.size()));
    EXPECT_EQ(binary_events(c.input), c.events);
  }
}

// A mebibyte of lines, commands and random bytes, some commands damaged: the binary does exactly what the
// program does in-process with the same input (click states aside, since they depend on time),
// and that passes every invariant.
TEST(hostile, random_mebibyte) {
  std::mt19937 rng(1234);
  static const char *const names[] = {"KeyA",    "ShiftLeft", "MetaRight", "CapsLock",
                                      "AltLeft", "Enter",     "keya"};
  auto number = [&] { return std::to_string(static_cast<int>(rng() % 7) - 2); };
  std::string input;
  while (input.size() < (1u << 20)) {
    std::string line;
    switch (rng() % 6) {
      case 0: line = "M " + number() + " " + number(); break;
      case 1: line = "B " + number() + " " + number() + " " + number() + " " + number(); break;
      case 2: line = "W " + number() + " " + number() + " " + number() + " 1000"; break;
      case 3: line = std::string("K ") + names[rng() % std::size(names)] + " " + number(); break;
      case 4: line = "R"; break;
      default:  // random bytes of any length
        for (size_t n = rng() % 150; n > 0; n--) line += static_cast<char>(rng());
    }
    // Now and then a byte of a command line is replaced by any byte at all.
    if (!line.empty() && rng() % 4 == 0) line[rng() % line.size()] = static_cast<char>(rng());
    input += line + '\n';
  }
  // S answers and P waits: tested on their own, and kept out of what must stay silent and quick.
  for (size_t i = 0; i < input.size(); i++)
    if ((i == 0 || input[i - 1] == '\n') && (input[i] == 'S' || input[i] == 'P')) input[i] = 's';
  process_result r = run_binary(input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");

  cg_reset();
  reset_program();
  cg_record_posts(true);
  ASSERT_EQ(run_text(input), 0);
  EXPECT_EQ(check_posts(cg_posts(), cg_post_count()), "");
  EXPECT_EQ(cg_live(), 0);
  ASSERT_EQ(r.log.size(), cg_post_count());
  EXPECT_GT(r.log.size(), 1000u) << "the input should do something";
  for (size_t i = 0; i < r.log.size(); i++) {
    cg_record from_log, in_process = cg_posts()[i];
    ASSERT_TRUE(parse_log_line(r.log[i], &from_log)) << r.log[i];
    from_log.click = in_process.click = 0;
    ASSERT_EQ(describe(from_log), describe(in_process)) << "event " << i;
  }
  cg_reset();
}

}  // namespace
