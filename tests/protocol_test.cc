// The line reader against scanf's rules, case by case and differentially against sscanf itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "command/protocol.h"
#include "state.h"

namespace {

struct scan_case {
  const char *line;
  const char *format;
  int read;          // fields read
  int32_t num[4];    // their values, as far as read
  const char *name;  // the name, for the K format
};

// Each row proves one rule of the reader.
// clang-format off
const scan_case cases[] = {
    {"M 10 20\n", "M %d %d", 2, {10, 20}, nullptr},
    {"M10 20", "M %d %d", 2, {10, 20}, nullptr},                 // no blank needed after the letter
    {"M\t\v\f\r10\n\n-20", "M %d %d", 2, {10, -20}, nullptr},     // any white space
    {"M +7 -0", "M %d %d", 2, {7, 0}, nullptr},                  // either sign
    {"M 000000000000000000042 1", "M %d %d", 2, {42, 1}, nullptr},  // leading zeros are not overflow
    {"M 5", "M %d %d", 1, {5}, nullptr},
    {"M", "M %d %d", 0, {}, nullptr},
    {"M - 5 6", "M %d %d", 0, {}, nullptr},                      // a sign alone is no number
    {"M +-5 6", "M %d %d", 0, {}, nullptr},                      // nor are two signs
    {"M 5-6", "M %d %d", 2, {5, -6}, nullptr},                   // a number ends where digits end
    {"M 1x 2", "M %d %d", 1, {1}, nullptr},
    {"M 0x10 2", "M %d %d", 1, {0}, nullptr},                    // decimal only
    {"M 1 2 junk 3", "M %d %d", 2, {1, 2}, nullptr},             // trailing text ignored
    {"M 2147483647 -2147483648", "M %d %d", 2, {2147483647, -2147483648}, nullptr},
    {"M 2147483648 1", "M %d %d", 0, {}, nullptr},               // out of range: not read
    {"M 1 -2147483649", "M %d %d", 1, {1}, nullptr},
    {"M 99999999999999999999999999 1", "M %d %d", 0, {}, nullptr},
    {"M 1\0 2", "M %d %d", 1, {1}, nullptr},                     // NUL ends the text
    {" M 1 2", "M %d %d", 0, {}, nullptr},                       // the letter must come first
    {"B 1 2 3 4", "B %d %d %d %d", 4, {1, 2, 3, 4}, nullptr},
    {"K KeyA 1", "K %31s %d", 2, {1}, "KeyA"},
    {"KShiftLeft\t0\r\n", "K %31s %d", 2, {0}, "ShiftLeft"},
    {"K KeyA", "K %31s %d", 1, {}, "KeyA"},
    {"K ", "K %31s %d", 0, {}, nullptr},
    // 31 characters are the name; the 32nd starts the number field.
    {"K ABCDEFGHIJKLMNOPQRSTUVWXYZabcde7 1", "K %31s %d", 2, {7}, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcde"},
    {"K ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef 1", "K %31s %d", 1, {}, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcde"},
    {"K \x80\xff 1", "K %31s %d", 2, {1}, "\x80\xff"},          // high bytes are not white space
};
// clang-format on

// The reader for a case's format, chosen by the format's letter.
int scan_with(const char *line, const char *format, fields *out) {
  switch (format[0]) {
    case 'M': return scan<"M %d %d">(line, out);
    case 'B': return scan<"B %d %d %d %d">(line, out);
    case 'W': return scan<"W %d %d %d %d">(line, out);
    default: return scan<"K %31s %d">(line, out);
  }
}

TEST(scan, cases) {
  for (const scan_case &c : cases) {
    SCOPED_TRACE(c.line);
    fields f{};
    ASSERT_EQ(scan_with(c.line, c.format, &f), c.read);
    int numbers = c.name != nullptr ? c.read - 1 : c.read;
    for (int i = 0; i < numbers; i++) EXPECT_EQ(f.num[i], c.num[i]);
    if (c.name != nullptr && c.read > 0) {
      EXPECT_STREQ(f.name, c.name);
    }
  }
}

std::string random_line(std::mt19937 &rng) {
  static const char *const pieces[] = {
      "M",
      "B",
      "W",
      "K",
      "R",
      "m",
      " ",
      "  ",
      "\t",
      "\v",
      "\f",
      "\r",
      "\n",
      "+",
      "-",
      "0",
      "7",
      "42",
      "00013",
      "2147483647",
      "-2147483648",
      "999",
      "x",
      "KeyA",
      "ShiftLeft",
      "\x01",
      "\x7f",
      "\xa0",
      "%d",
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghij",
      "abcdefghijklmnopqrstuvwxyz01234",
      ",",
      ".",
  };
  std::string line;
  std::uniform_int_distribution<size_t> piece(0, std::size(pieces) - 1), count(0, 12);
  line = pieces[piece(rng) % 5];  // usually a command letter first
  for (size_t n = count(rng); n > 0; n--) line += pieces[piece(rng)];
  return line;
}

// sscanf is the reference wherever the numbers fit: the same count, the same values.
TEST(scan, agrees_with_sscanf) {
  std::mt19937 rng(20261209);
  int compared = 0;
  for (int i = 0; i < 200000; i++) {
    std::string line = random_line(rng);
    if (!numbers_fit(line)) continue;
    ASSERT_EQ(compare_with_sscanf(line.c_str()), "") << "line \"" << line << "\"";
    compared++;
  }
  EXPECT_GT(compared, 100000);
}

}  // namespace
