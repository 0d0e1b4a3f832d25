// Diagnostics: why a line does nothing, as --verbose says it, and what a failed start says.
#include <cstring>
#include <string>

#include "command/command.h"
#include "command/diag.h"
#include "command/line.h"
#include "fixture.h"

namespace {

struct explain_case {
  const char *held;     // lines handled first, to hold keys and buttons
  const char *line;     // the line explained
  const char *message;  // what explain says, or null for a line that acts
};

// Each row proves one reason, or that a line at the edge of a rule is not reported.
const explain_case explain_cases[] = {
    {"", "K Keya 1\n", R"(K: unknown key name "Keya"; did you mean "KeyA"?)"},  // case differs
    {"", "K Shiftleft 1\n", R"(K: unknown key name "Shiftleft"; did you mean "ShiftLeft"?)"},
    {"", "K KeyAB 1\n", R"(K: unknown key name "KeyAB"; did you mean "KeyA"?)"},    // one letter more
    {"", "K Digt1 1\n", R"(K: unknown key name "Digt1"; did you mean "Digit1"?)"},  // one letter less
    {"", "K Esc 1\n", R"(K: unknown key name "Esc"; did you mean "Escape"?)"},      // another name
    {"", "K 7 1\n", R"(K: unknown key name "7"; did you mean "Digit7"?)"},          // what it types
    {"", "K q 0\n", R"(K: unknown key name "q"; did you mean "KeyQ"?)"},            // unknown before not held
    {"", "K Hyper 1\n",
     R"(K: unknown key name "Hyper"; names are KeyboardEvent codes: KeyA, Digit1, ShiftLeft, ...)"},
    {"", "K KeyAKeyAKeyAKeyAKeyAKeyAKeyAKeyA 1\n",
     R"(K: key name "KeyAKeyAKeyAKeyAKeyAKeyA..." is longer than 31 characters)"},
    {"", "K\n", R"(K: name missing; expected "K name down")"},
    {"", "K KeyA\n", R"(K: down missing; expected "K name down")"},
    {"", "K KeyA 2\n", "K: down 2 is out of range (1 presses, 0 releases)"},
    {"", "K KeyA 0\n", "K: KeyA is not held; nothing to release"},
    {"K KeyA 1\n", "K KeyA 0\n", nullptr},
    {"K KeyA 1\n", "K KeyA 1\n", nullptr},  // a held key pressed again posts another key-down
    {"", "KKeyA 1\n", nullptr},
    {"", "M 10,20\n", R"(M: y is not a number: ",20"; expected "M x y")"},
    {"", "M 10\n", R"(M: y missing; expected "M x y")"},
    {"", "M --1 2\n", R"(M: x is not a number: "--1"; expected "M x y")"},
    {"", "M 2147483648 0\n", "M: x 2147483648 is out of range (-2147483648 to 2147483647)"},
    {"", "M 0 -99999999999999999999999999999\n",
     "M: y -99999999999999999999999... is out of range (-2147483648 to 2147483647)"},
    {"", "M -2147483648 2147483647\n", nullptr},
    {"", "M1 2 trailing text\n", nullptr},
    {"", "D 5\n", R"(D: dy missing; expected "D dx dy")"},
    {"", "D x 1\n", R"(D: dx is not a number: "x"; expected "D dx dy")"},
    {"", "D 1 -2147483649\n", "D: dy -2147483649 is out of range (-2147483648 to 2147483647)"},
    {"", "D -2147483648 2147483647\n", nullptr},
    {"", "d 1 1\n", "unknown command 'd'; commands are upper case: 'D'"},
    {"", "B 5 5 5 1\n", "B: b 5 is out of range (0 left, 1 middle, 2 right, 3 back, 4 forward)"},
    {"", "B 5 5 -1 1\n", "B: b -1 is out of range (0 left, 1 middle, 2 right, 3 back, 4 forward)"},
    {"", "B 5 5 0 2\n", "B: down 2 is out of range (1 presses, 0 releases)"},
    {"", "B 5 5 1 0\n", "B: button 1 (middle) is not held; nothing to release"},
    {"", "B 5 5 4 0\n", "B: button 4 (forward) is not held; nothing to release"},
    {"B 1 1 0 1\n", "B 9 9 0 1\n", "B: button 0 (left) is already held"},
    {"B 1 1 0 1\n", "B 9 9 0 0\n", nullptr},
    {"", "B 1 2 3\n", R"(B: down missing; expected "B x y b down")"},
    {"", "W 0 0 1001 0\n", "W: dx 1001 is out of range (-1000 to 1000)"},
    {"", "W 0 0 0 -1001\n", "W: dy -1001 is out of range (-1000 to 1000)"},
    {"", "W 0 0 -1000 1000\n", nullptr},
    {"", "R\n", nullptr},
    {"", "Release everything\n", nullptr},
    {"", "m 1 2\n", "unknown command 'm'; commands are upper case: 'M'"},
    {"", "x\n", "unknown command 'x'; the commands are M, D, B, W, K, T, R, S and P"},
    {"", "\x7f\n", "unknown command (byte 0x7f); the commands are M, D, B, W, K, T, R, S and P"},
    {"", "T\n", "T: no text to type"},
    {"", "T \r\n", "T: no text to type"},
    {"", "Tab\n", "T: expected one space after T, then the text"},
    {"", "T caf\xc3\n", "T: the text is not valid UTF-8 at byte 4 (0xc3); nothing typed"},
    {"", "T \xed\xa0\x80\n", "T: the text is not valid UTF-8 at byte 1 (0xed); nothing typed"},  // surrogate
    {"", "T  leading blank\n", nullptr},
    {"", "S\n", nullptr},
    {"", "S a token\r\n", nullptr},
    {"", "S \n", nullptr},  // an empty token, answered as "S "
    {"", "Sx\n", "S: expected nothing, or one space and a token, after S; no reply"},
    {"", "S\tx\n", "S: expected nothing, or one space and a token, after S; no reply"},
    {"", "s\n", "unknown command 's'; commands are upper case: 'S'"},
    {"", "P 0\n", nullptr},
    {"", "P60000\n", nullptr},
    {"", "P\n", R"(P: ms missing; expected "P ms")"},
    {"", "P 60001\n", "P: ms 60001 is out of range (0 to 60000)"},
    {"", "P -1\n", "P: ms -1 is out of range (0 to 60000)"},
    {"", "P 5ms\n", nullptr},  // trailing text, as after any command's fields
    {"", "P x\n", R"(P: ms is not a number: "x"; expected "P ms")"},
    {"", "\n", "empty line"},
    {"", "\r\n", "empty line"},
    {"", " M 1 2\n", "the line starts with white space; a command starts with its letter"},
    {"", "", "the line starts with a NUL byte"},  // what a line that starts with NUL reads as
};

class explaining : public program {};

TEST_F(explaining, each_reason) {
  for (const explain_case &c : explain_cases) {
    handle_lines(c.held);
    char out[256];
    const char *got = explain(c.line, false, out, sizeof out);
    if (c.message == nullptr)
      EXPECT_EQ(got, nullptr) << c.line << " reported as: " << got;
    else
      EXPECT_STREQ(got, c.message) << c.line;
    release_all();
  }
}

// Lines cut at 95 characters: a sequence the cut left incomplete is the cut's, not the text's; one
// that a NUL ends first is invalid text.
struct cut_case {
  std::string line;     // the 95 characters read
  const char *message;  // null for a line that types
};

const cut_case cut_cases[] = {
    {"S " + std::string(93, 't'), "S: the token is longer than 93 bytes; no reply"},
    {"T " + std::string(92, 'a') + "\xC3", nullptr},
    {"T \xE6" + std::string(92, '\0'), "T: the text is not valid UTF-8 at byte 1 (0xe6); nothing typed"},
    {"T abc\xE6" + std::string(89, '\0'), "T: the text is not valid UTF-8 at byte 4 (0xe6); nothing typed"},
};

TEST_F(explaining, cut_lines) {
  for (const cut_case &c : cut_cases) {
    char line[line_size] = {};
    memcpy(line, c.line.data(), c.line.size());
    char out[256];
    const char *got = explain(line, true, out, sizeof out);
    if (c.message == nullptr)
      EXPECT_EQ(got, nullptr) << got;
    else
      EXPECT_STREQ(got, c.message);
  }
}

// Through the binary: silent without -v; with it, one line per input line that did nothing,
// numbered as the input's lines (a cut line counts once), and failed creations counted.
TEST(verbose, numbers_lines_and_counts_failures) {
  const std::string long_line = "M 1 2 " + std::string(120, '3') + "\n";
  const std::string input = "K ShiftLeft 1\nM 1\n" + long_line + "K Keya 1\nK KeyB 1\n";
  process_result quiet = run_binary(input, {"HIDPIPE_SIM_FAIL=keyboard"});
  EXPECT_EQ(quiet.err, "");
  process_result r = run_binary(input, {"HIDPIPE_SIM_FAIL=keyboard"}, {"-v"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "hidpipe: events go to the event log alone\n"
            "hidpipe: line 1: event creation failed; 1 event not posted\n"
            "hidpipe: line 2: M: y missing; expected \"M x y\"\n"
            "hidpipe: line 3: longer than 95 characters; the rest of the line was discarded\n"
            "hidpipe: line 4: K: unknown key name \"Keya\"; did you mean \"KeyA\"?\n"
            "hidpipe: line 5: event creation failed; 1 event not posted\n"
            "hidpipe: at the end of input: event creation failed; 2 events not posted\n");
}

struct start_case {
  const char *setting;  // the environment setting that makes the start fail, or not
  int status;
  const char *err;  // everything on standard error with -v
};

TEST(verbose, why_a_start_failed) {
  const start_case cases[] = {
      {"HIDPIPE_SIM_LOG=/nonexistent/dir/log", 1,
       "hidpipe: cannot start: cannot open the event log \"/nonexistent/dir/log\": No such file or "
       "directory\n"},
      {"HIDPIPE_SIM_FAIL=source", 1,
       "hidpipe: cannot start: creating the event source was made to fail (HIDPIPE_SIM_FAIL=source)\n"},
      // As on a Mac without the Accessibility permission: said once, and hidpipe runs on.
      {"HIDPIPE_SIM_FAIL=access", 0,
       "hidpipe: events go to the event log alone\n"
       "hidpipe: this process may not post events: they will have no effect until the program that runs "
       "hidpipe is allowed under System Settings > Privacy & Security > Accessibility (macOS 13 and later) "
       "or "
       "System Preferences > Security & Privacy > Privacy > Accessibility (macOS 12)\n"},
  };
  for (const start_case &c : cases) {
    process_result r = run_binary("M 1 2\n", {c.setting}, {"--verbose"});
    EXPECT_EQ(r.status, c.status) << c.setting;
    EXPECT_EQ(r.err, c.err) << c.setting;
    EXPECT_EQ(run_binary("M 1 2\n", {c.setting}).err, "") << c.setting << ": silent without -v";
  }
}

}  // namespace
