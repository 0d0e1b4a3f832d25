// The built binary end to end: its standard streams, exit status and event log.
#include <random>
#include <string>

#include "fixture.h"

namespace {

TEST(process, empty_input_exits_0_silently) {
  process_result r = run_binary("");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.log.empty()) << "the log is truncated at start";
}

TEST(process, logs_each_event_and_releases_at_end) {
  process_result r = run_binary("K ShiftLeft 1\nK KeyA 1\nK KeyA 0\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> expected = {
      R"({"tap":0,"type":12,"flags":131072,"keycode":56})",
      R"({"tap":0,"type":10,"flags":131072,"keycode":0})",
      R"({"tap":0,"type":11,"flags":131072,"keycode":0})",
      R"({"tap":0,"type":12,"flags":0,"keycode":56})",
  };
  EXPECT_EQ(r.log, expected);
}

TEST(process, source_failure_exits_1_without_reading) {
  process_result r = run_binary("K KeyA 1\n", {"HIDPIPE_SIM_FAIL=source"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.consumed, 0);
  EXPECT_TRUE(r.log.empty());
  EXPECT_EQ(r.err, "");
}

TEST(process, unopenable_log_is_a_source_failure) {
  process_result r = run_binary("K KeyA 1\n", {"HIDPIPE_SIM_LOG=/nonexistent/dir/log"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
}

TEST(process, failed_creations_post_nothing_and_exit_0) {
  process_result r = run_binary("K KeyA 1\nK ShiftLeft 1\nR\n", {"HIDPIPE_SIM_FAIL=mouse,keyboard"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.log.empty());
}

// Arbitrary bytes end in exit 0, silence, and keys released: every down in the log has its up.
TEST(process, random_bytes) {
  std::mt19937 rng(7);
  std::string input;
  static const char *const words[] = {"K ", "KeyA", "ShiftLeft", "MetaRight", " 1", " 0", "\n", "R", "\r", "\0"};
  for (int i = 0; i < 20000; i++)
    input += rng() % 3 == 0 ? std::string(1, static_cast<char>(rng())) : std::string(words[rng() % std::size(words)]);
  process_result r = run_binary(input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  int balance[128] = {};
  for (const std::string &line : r.log) {
    ASSERT_EQ(line.find("leaked"), std::string::npos);
    int type = 0, code = 0;
    unsigned long long flags = 0;
    ASSERT_EQ(sscanf(line.c_str(), R"({"tap":0,"type":%d,"flags":%llu,"keycode":%d})", &type, &flags, &code), 3) << line;
    ASSERT_EQ(flags & ~0x1e0000ull, 0u) << line;
    if (type == 10) balance[code]++;
    if (type == 11) balance[code] = 0;
  }
  for (int n : balance) EXPECT_EQ(n, 0);
}

}  // namespace
