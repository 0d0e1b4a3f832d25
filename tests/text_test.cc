// The T command: which lines type what, in runs of at most 20 UTF-16 code units.
#include <string>

#include "command/command.h"
#include "fixture.h"
#include "keyboard/key.h"

namespace {

struct text_case {
  const char *what;
  std::string line;               // one line as read
  bool cut;                       // the line was cut at 95 characters
  std::vector<std::string> runs;  // the text of each key-down and key-up pair, in order
};

const std::string a19(19, 'a'), a20(20, 'a'), a92(92, 'a');

// Each row proves one rule of T.
const text_case text_cases[] = {
    {"plain", "T hello\n", false, {"hello"}},
    {"blanks are typed", "T  two  spaces \n", false, {" two  spaces "}},
    {"carriage return before the newline is not", "T tab\there\r\n", false, {"tab\there"}},
    {"one inside the text is", "T cr\rin\n", false, {"cr\rin"}},
    {"no newline at the end of input", "T last", false, {"last"}},
    {"nothing after T", "T\n", false, {}},
    {"only the space", "T \n", false, {}},
    {"no space", "Thello\n", false, {}},
    {"text ends at a NUL", std::string("T ab\0cd\n", 8), false, {"ab"}},
    {"every script", "T Grüße, 東京 €\n", false, {"Grüße, 東京 €"}},
    {"20 units make a run", "T " + a20 + "b\n", false, {a20, "b"}},
    {"a pair fills a run exactly", "T " + std::string(18, 'a') + "😀\n", false, {std::string(18, 'a') + "😀"}},
    {"a pair never straddles runs", "T " + a19 + "😀\n", false, {a19, "😀"}},
    {"overlong slash", "T a\xC0\xAF\n", false, {}},
    {"overlong three bytes", "T a\xE0\x80\xAF\n", false, {}},
    {"surrogate", "T a\xED\xA0\x80\n", false, {}},
    {"past U+10FFFF", "T a\xF4\x90\x80\x80\n", false, {}},
    {"stray continuation byte", "T a\x80\n", false, {}},
    {"byte that never starts a sequence", "T a\xFF\n", false, {}},
    {"incomplete at the end of a whole line", "T caf\xC3\n", false, {}},
    {"largest scalar", "T \xF4\x8F\xBF\xBF\n", false, {"\xF4\x8F\xBF\xBF"}},
    // 95 characters: "T ", 92 letters and the first byte of é, whose second byte the cut took.
    {"cut inside a sequence drops it", "T " + a92 + "\xC3", true, {a20, a20, a20, a20, std::string(12, 'a')}},
    {"cut does not excuse other faults", "T \x80" + std::string(91, 'a') + "\xC3", true, {}},
    // Cut lines whose text a NUL ends first: the incomplete sequence is not the cut's doing.
    {"NUL before the cut, nothing else", "T \xE6" + std::string(93, '\0'), true, {}},
    {"NUL before the cut, after letters", "T abc\xE6" + std::string(90, '\0'), true, {}},
};

class typing : public program {};

TEST_F(typing, runs) {
  for (const text_case &c : text_cases) {
    SCOPED_TRACE(c.what);
    handle(c.line.c_str(), c.cut);
    std::vector<std::string> runs;
    std::vector<cg_record> posted = take();
    for (size_t i = 0; i < posted.size(); i++) {
      const cg_record &r = posted[i];
      ASSERT_EQ(r.keycode, 0);
      ASSERT_EQ(r.type, i % 2 == 0 ? kCGEventKeyDown : kCGEventKeyUp);
      std::string text = utf8_of(r.text, r.text_length);
      if (i % 2 == 0)
        runs.push_back(text);
      else
        EXPECT_EQ(text, runs.back()) << "the key-up carries its key-down's text";
    }
    EXPECT_EQ(runs, c.runs);
  }
}

// Held modifiers mark the text's events; the text holds nothing, so R releases only the modifier.
TEST_F(typing, leaves_held_keys_alone) {
  handle_lines("K ShiftLeft 1\nT a\nR\n");
  EXPECT_EQ(take_text(), (std::vector<std::string>{"flags-changed 56 shift", "key-down 0 \"a\" shift",
                                                   "key-up 0 \"a\" shift", "flags-changed 56"}));
  for (uint8_t held : held_keys) EXPECT_EQ(held, 0);
}

// The log writes the text as a JSON string, escaped where JSON requires.
TEST(typing_log, text_as_json) {
  process_result r = run_binary("T \"q\" \\ \t é 😀\x01\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log, (std::vector<std::string>{
                       R"({"tap":0,"type":10,"flags":0,"keycode":0,"text":"\"q\" \\ \t é 😀\u0001"})",
                       R"({"tap":0,"type":11,"flags":0,"keycode":0,"text":"\"q\" \\ \t é 😀\u0001"})",
                   }));
}

}  // namespace
