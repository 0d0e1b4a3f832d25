// S and P through the binary: the replies, byte for byte and in order with the events; the log
// and the replies sharing standard output; P's wait, its end at a stop signal, and click counting
// across it; replies that cannot be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "command/reply.h"
#include "fixture.h"

namespace {

using steady = std::chrono::steady_clock;

long ms_since(steady::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t).count());
}

struct reply_case {
  const char *what;
  std::string input;
  std::string out;  // standard output, every reply
};

const reply_case reply_cases[] = {
    {"S alone", "S\n", "S\n"},
    {"a token, byte for byte", "S  two  spaces \xc3\xa9\t\n", "S  two  spaces \xc3\xa9\t\n"},
    {"an empty token keeps its space", "S \n", "S \n"},
    {"CR LF ends the line", "S\r\nS t\r\n", "S\nS t\n"},
    {"a last line without newline", "M 1 1\nS end", "S end\n"},
    {"in order, after the commands before", "S 1\nM 1 1\nS 2\nP 0\nS 3\n", "S 1\nS 2\nS 3\n"},
    {"Sx is no S line", "Sx\nS\tx\ns\n", ""},
    {"a token of 93 bytes", "S " + std::string(93, 't') + "\n", "S " + std::string(93, 't') + "\n"},
    {"a longer one is no S line", "S " + std::string(94, 't') + "\nS\n", "S\n"},
    {"a NUL ends the token", std::string("S ab\0cd\n", 8), "S ab\n"},
};

TEST(sync, replies) {
  for (const reply_case &c : reply_cases) {
    process_result r = run_binary(c.input);
    EXPECT_EQ(r.status, 0) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, "") << c.what;
  }
}

// With the log on standard output too, each reply comes after the log lines of the events before
// it: a log line starts with '{', a reply with 'S'.
TEST(sync, shares_standard_output_with_the_log) {
  process_result r = run_binary("M 1 1\nS a\nM 2 2\nK KeyA 1\nS b\n", {"HIDPIPE_SIM_LOG=/dev/stdout"});
  EXPECT_EQ(r.status, 0);
  std::string shape;
  for (char c : r.out)
    if (c == '{' || c == 'S') shape += c;
  // Key-down, then the key-up of the final release, after the last reply.
  EXPECT_EQ(shape, "{S{{S{");
  EXPECT_NE(r.out.find("\nS a\n{"), std::string::npos) << r.out;
}

// A controller that waits for each reply finds every event before it in the log.
TEST(sync, reply_follows_its_events) {
  live_process p({.replies_piped = true});
  p.write("S first\n");
  EXPECT_EQ(p.read_reply(), "S first");
  for (int i = 1; i <= 20; i++) {
    p.write("M " + std::to_string(i) + " 0\nS " + std::to_string(i) + "\n");
    EXPECT_EQ(p.read_reply(), "S " + std::to_string(i));
    EXPECT_EQ(p.log().size(), static_cast<size_t>(i)) << "reply " << i << " came before its move was logged";
  }
  EXPECT_EQ(p.finish().status, 0);
}

// P waits, S after it is answered no sooner; a stop signal ends a long pause at once, with
// everything released.
TEST(sync, pause_waits_and_a_stop_ends_it) {
  live_process p({.replies_piped = true});
  p.write("S 0\n");
  ASSERT_EQ(p.read_reply(), "S 0");
  auto begin = steady::now();
  p.write("P 300\nS 1\n");
  EXPECT_EQ(p.read_reply(), "S 1");
  EXPECT_GE(ms_since(begin), 300);
  p.write("K ShiftLeft 1\nP 60000\nS never\n");
  ASSERT_TRUE(p.wait_log(1));
  usleep(100000);
  begin = steady::now();
  p.send(SIGTERM);
  EXPECT_TRUE(p.ended(3000)) << "still pausing after SIGTERM";
  process_result r = p.finish();
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(r.log.size(), 2u);
  // Shift's release: a flags-changed event (type 12) with no flags left.
  EXPECT_NE(r.log[1].find("\"type\":12,\"flags\":0,"), std::string::npos) << r.log[1];
}

// Click counting uses the time each press is handled: a pause of 100 ms between two clicks makes
// a double click, one of 500 ms two single clicks.
TEST(sync, clicks_across_a_pause) {
  for (int pause : {100, 500}) {
    process_result r =
        run_binary("B 10 10 0 1\nB 10 10 0 0\nP " + std::to_string(pause) + "\nB 10 10 0 1\nB 10 10 0 0\n");
    ASSERT_EQ(r.log.size(), 5u);  // the move first, then the four button events
    cg_record third{};
    ASSERT_TRUE(parse_log_line(r.log[3], &third)) << r.log[3];
    EXPECT_EQ(third.click, pause == 100 ? 2 : 1) << "P " << pause;
  }
}

// A controller that sends S and reads no reply, until standard output is full: a stop signal still
// ends the wait for room at once, with everything released.
TEST(sync, stop_signal_ends_a_reply_that_waits_for_room) {
  live_process p({.replies_piped = true});
  std::string many;
  for (int i = 0; i < 40000; i++) many += "S\n";  // 80 KB of replies, more than a pipe holds
  ASSERT_TRUE(p.write("K ShiftLeft 1\n" + many));
  ASSERT_TRUE(p.wait_log(1));
  usleep(300000);
  p.send(SIGTERM);
  EXPECT_TRUE(p.ended(3000)) << "still writing a reply after SIGTERM";
  process_result r = p.finish();
  EXPECT_EQ(r.signal, SIGTERM);
  ASSERT_EQ(r.log.size(), 2u);
  EXPECT_NE(r.log[1].find("\"type\":12,\"flags\":0,"), std::string::npos) << r.log[1];
}

// A controller that goes away while keys are held: the session goes on, -v says once that the
// replies are lost, and everything is released at the end.
TEST(sync, lost_replies_do_not_end_the_session) {
  live_process p({.args = {"-v"}, .replies_piped = true});
  p.write("K ShiftLeft 1\nS 1\n");
  ASSERT_EQ(p.read_reply(), "S 1");
  p.close_replies();
  p.write("S 2\nK KeyA 1\nS 3\nK KeyA 0\n");
  process_result r = p.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.signal, 0);
  ASSERT_EQ(r.log.size(), 4u);  // Shift down, A down and up, Shift up at the end
  EXPECT_NE(
      r.err.find("hidpipe: line 3: S: the reply cannot be written to standard output (its reader is gone); "
                 "this and later replies are lost, and the session goes on\n"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("line 5: S"), std::string::npos) << "said more than once: " << r.err;
}

// A reply waits for room within its bound, and a descriptor that cannot take it fails at once: a
// controller that never reads its replies, or closed them, does not stop the commands.
TEST(sync, a_reply_that_finds_no_room_is_lost_within_its_bound) {
  struct output_case {
    const char *what;
    bool full;        // a pipe whose reader reads nothing, filled
    const char *why;  // replies_lost afterwards
  };
  const output_case cases[] = {
      {"a full pipe nobody reads", true, "its reader took nothing for 50 ms"},
      {"a closed descriptor", false, "it is closed"},
  };
  for (const output_case &c : cases) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    if (c.full) {
      fcntl(ends[1], F_SETFL, O_NONBLOCK);
      char block[4096] = {};
      while (write(ends[1], block, sizeof block) > 0) {
      }
      fcntl(ends[1], F_SETFL, 0);
    } else {
      close(ends[1]);
    }
    int saved_fd = reply_fd;
    unsigned saved_ms = reply_wait_ms;
    reply_fd = ends[1];
    reply_wait_ms = 50;
    replies_lost = nullptr;
    auto begin = steady::now();
    EXPECT_FALSE(reply_sync("t", 1, true)) << c.what;
    EXPECT_LT(ms_since(begin), 5000) << c.what << ": the wait has its bound";
    EXPECT_STREQ(replies_lost, c.why) << c.what;
    EXPECT_FALSE(reply_sync("t", 1, true)) << c.what << ": later replies are lost too";
    reply_fd = saved_fd;
    reply_wait_ms = saved_ms;
    replies_lost = nullptr;
    if (c.full) close(ends[1]);
    close(ends[0]);
  }
}

}  // namespace
