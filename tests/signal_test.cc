// SIGINT, SIGTERM and SIGHUP end a session as the end of input does, through the binary: what is
// held is released, in the same order and with the same events, and the process then ends by the
// signal, so that its parent sees it.
#include <unistd.h>

#include <csignal>
#include <random>
#include <string>

#include "command/line.h"
#include "command/stop.h"
#include "fixture.h"

namespace {

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

TEST(stop_signal, releases_as_at_the_end_of_input) {
  const std::string held = "K ControlLeft 1\nK KeyC 1\nB 10 20 2 1\n";
  const std::vector<std::string> at_end = run_binary(held).log;
  ASSERT_EQ(at_end.size(), 7u) << "4 events, then KeyC, ControlLeft and the button released";
  for (int sig : stop_signals) {
    live_process p;
    // The last line is not finished when the signal comes: it must not run.
    ASSERT_TRUE(p.write(held + "M 30 40"));
    ASSERT_TRUE(p.wait_log(4));
    p.send(sig);
    ASSERT_TRUE(p.ended(10000)) << strsignal(sig) << " left hidpipe running";
    process_result r = p.finish();
    EXPECT_EQ(r.signal, sig) << strsignal(sig);
    EXPECT_EQ(r.log, at_end) << strsignal(sig);
    EXPECT_EQ(r.out + r.err, "");
  }
}

// The narrow case: the signal comes after the loop last looked for one and before its read
// begins. The read must still return at once (here it would otherwise wait forever, as the pipe's
// writing end stays open).
TEST(stop_signal_death, a_read_begun_after_the_signal_returns_at_once) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        catch_stop_signals(fds[0]);
        start_lines(fds[0]);
        raise(SIGTERM);
        stop_signal = 0;  // as the loop saw it just before the signal came
        alarm(5);
        char line[line_size];
        line_info info{};
        _exit(read_line(line, &info) ? 3 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Whenever the signal comes, before the first read, while waiting for input, or between two
// lines, it ends the session, and never leaves hidpipe waiting for input.
TEST(stop_signal, ends_the_session_whenever_it_comes) {
  std::mt19937 random(7);
  for (int run = 0; run < 9; run++) {
    int sig = stop_signals[run % 3];
    live_process p;
    for (int i = 0; i < 20; i++) p.write("M " + std::to_string(i) + " 1\n");
    usleep(static_cast<useconds_t>(random() % 3000));
    p.send(sig);
    ASSERT_TRUE(p.ended(10000)) << "run " << run << ": " << strsignal(sig) << " was lost";
    EXPECT_EQ(p.finish().signal, sig);
  }
}

}  // namespace
