// The built binary end to end: its standard streams, exit status and event log.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
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

TEST(process, pointer_events_in_the_log) {
  process_result r =
      run_binary("M 10 20\nB 10 20 0 1\nM 15 25\nB 15 25 0 0\nW 15 25 0 120\nK ShiftLeft 1\nB 0 0 2 1\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  const std::vector<std::string> expected = {
      R"({"tap":0,"type":5,"flags":0,"x":10,"y":20,"button":0,"click":0})",
      R"({"tap":0,"type":1,"flags":0,"x":10,"y":20,"button":0,"click":1})",
      R"({"tap":0,"type":6,"flags":0,"x":15,"y":25,"button":0,"click":0})",
      R"({"tap":0,"type":2,"flags":0,"x":15,"y":25,"button":0,"click":1})",
      R"({"tap":0,"type":22,"flags":0,"unit":0,"wheels":2,"wheel1":-120,"wheel2":0})",
      R"({"tap":0,"type":12,"flags":131072,"keycode":56})",
      R"({"tap":0,"type":5,"flags":131072,"x":0,"y":0,"button":0,"click":0})",
      R"({"tap":0,"type":3,"flags":131072,"x":0,"y":0,"button":1,"click":1})",
      R"({"tap":0,"type":12,"flags":0,"keycode":56})",
      R"({"tap":0,"type":4,"flags":0,"x":0,"y":0,"button":1,"click":1})",
  };
  EXPECT_EQ(r.log, expected);
}

// Real time between presses, through a pipe: quick presses count up, a slow one starts over.
TEST(process, live_click_counts) {
  const std::string click = "B 50 60 0 1\nB 50 60 0 0\n";
  process_result r = run_binary_paced({{0, click}, {40, click}, {40, click}, {40, click}, {800, click}});
  EXPECT_EQ(r.status, 0);
  std::vector<int> clicks;
  for (const std::string &line : r.log) {
    int type = 0, click_state = 0;
    if (sscanf(line.c_str(), R"({"tap":0,"type":%d,"flags":0,"x":50,"y":60,"button":0,"click":%d})", &type,
               &click_state) == 2 &&
        type != 5)
      clicks.push_back(click_state);
  }
  EXPECT_EQ(clicks, (std::vector<int>{1, 1, 2, 2, 3, 3, 1, 1, 1, 1}));
}

}  // namespace

namespace {

struct option_case {
  std::vector<std::string> args;
  int status;        // exit status
  const char *out;   // the start of standard output
  const char *err;   // all of standard error
  bool reads_input;  // whether the commands were read and run
};

const char usage[] = "usage: hidpipe [-hv] [--help] [--version] [--verbose]\n";

// Each row proves one rule of the command line.
const option_case option_cases[] = {
    {{"--help"}, 0, usage, "", false},
    {{"-h"}, 0, usage, "", false},
    {{"-vh"}, 0, usage, "", false},                // short options group
    {{"--help", "--bogus"}, 0, usage, "", false},  // the first that decides wins
    {{"--version"}, 0, "hidpipe " HIDPIPE_VERSION "\n", "", false},
    {{"--bogus"}, 2, "", "hidpipe: unknown option '--bogus'\n", false},
    {{"--verbose=1"}, 2, "", "hidpipe: unknown option '--verbose=1'\n", false},
    {{"-x"}, 2, "", "hidpipe: unknown option '-x'\n", false},
    {{"-vq"}, 2, "", "hidpipe: unknown option '-q'\n", false},
    {{"commands.txt", "-"}, 0, "", "", true},                              // operands are ignored, as always
    {{"--", "--bogus"}, 0, "", "", true},                                  // -- ends the options
    {{"-v"}, 0, "", "hidpipe: events go to the event log alone\n", true},  // where events go, no more
};

TEST(options, table) {
  for (const option_case &c : option_cases) {
    std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    process_result r = run_binary("M 1 2\n", {}, c.args);
    EXPECT_EQ(r.status, c.status) << what;
    EXPECT_EQ(r.out.substr(0, strlen(c.out)), c.out) << what;
    if (c.status == 2)
      EXPECT_EQ(r.err, c.err + std::string(usage)) << what << ": the message, then the usage";
    else
      EXPECT_EQ(r.err, c.err) << what;
    EXPECT_EQ(r.consumed > 0, c.reads_input) << what;
    if (c.reads_input) {
      EXPECT_EQ(r.log.size(), 1u) << what;
    }
  }
}

// The log never destroys data: not the input being read, nor what is written to standard output
// or error when it names the same file.
TEST(log_safety, never_truncates_or_writes_into_the_input) {
  const std::string input = "K KeyA 1\nK KeyA 0\n";
  char path[] = "/tmp/hidpipe-input-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  for (const std::string &log :
       std::vector<std::string>{"/dev/stdin", "/dev/fd/0", "/proc/self/fd/0", path}) {
    lseek(fd, 0, SEEK_SET);
    live_process p({.env = {"HIDPIPE_SIM_LOG=" + log}, .args = {"-v"}, .stdin_fd = fd});
    process_result r = p.finish();
    EXPECT_EQ(r.status, 1) << log << " is refused: it would write over the commands";
    EXPECT_EQ(r.err, "hidpipe: cannot start: cannot open the event log \"" + log +
                         "\": it is hidpipe's own standard input\n");
    std::ifstream again(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), input) << log;
  }
  close(fd);
  unlink(path);
}

// The log on a standard output whose reader stops reading, as `hidpipe | sleep 999` leaves it: the
// session goes on for a while, and a stop signal still ends it at once.
TEST(log_safety, a_reader_that_stops_reading_does_not_hold_a_stop) {
  live_process p({.env = {"HIDPIPE_SIM_LOG=/dev/stdout"}, .args = {"-v"}, .replies_piped = true});
  std::string moves;
  for (int i = 0; i < 4000; i++) moves += i % 2 == 0 ? "M 1 1\n" : "M 2 2\n";  // some 300 KB of log
  ASSERT_TRUE(p.write(moves));
  usleep(500000);
  p.send(SIGTERM);
  EXPECT_TRUE(p.ended(2000)) << "still writing the log after SIGTERM";
  process_result r = p.finish();
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_NE(r.err.find("could not be written (a stop signal cut the write short); it ends here"),
            std::string::npos)
      << r.err;
}

TEST(log_safety, shares_standard_error_without_overwriting_it) {
  // The diagnostic comes first, then the log lines, in the one file.
  live_process p({.args = {"-v"}, .log_on_stderr = true});
  p.write("K Keya 1\nK KeyA 1\n");
  process_result r = p.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "hidpipe: events go to the event log alone\n"
            "hidpipe: line 1: K: unknown key name \"Keya\"; did you mean \"KeyA\"?\n"
            "{\"tap\":0,\"type\":10,\"flags\":0,\"keycode\":0}\n"
            "{\"tap\":0,\"type\":11,\"flags\":0,\"keycode\":0}\n");
}

}  // namespace

namespace {

// Every setting's bad values: each is a reason not to start, said with -v, and status 1; a log that
// cannot be written ends the log, not the session.
struct setting_case {
  const char *setting;  // NAME=value
  int status;
  const char *said;  // what -v says after "hidpipe: ", its start
};

const setting_case setting_cases[] = {
    {"HIDPIPE_SCREEN=abc", 1,
     "cannot start: HIDPIPE_SCREEN=abc: expected WIDTHxHEIGHT in pixels, such as 1920x1080"},
    {"HIDPIPE_SCREEN=0x0", 1,
     "cannot start: HIDPIPE_SCREEN=0x0: the width and height must be 1 to 65535 pixels"},
    {"HIDPIPE_SCREEN=-5x-5", 1, "cannot start: HIDPIPE_SCREEN=-5x-5: expected WIDTHxHEIGHT in pixels"},
    {"HIDPIPE_SCREEN=1920x1080junk", 1, "cannot start: HIDPIPE_SCREEN=1920x1080junk: expected WIDTHxHEIGHT"},
    {"HIDPIPE_SCREEN=70000x10", 1,
     "cannot start: HIDPIPE_SCREEN=70000x10: the width and height must be 1 to"},
    {"HIDPIPE_UINPUT_SETTLE_MS=99999999999", 1,
     "cannot start: HIDPIPE_UINPUT_SETTLE_MS=99999999999: expected milliseconds, 0 to 10000"},
    {"HIDPIPE_UINPUT_SETTLE_MS=-5", 1, "cannot start: HIDPIPE_UINPUT_SETTLE_MS=-5: expected milliseconds"},
    {"HIDPIPE_EIS=flatpak", 1, "cannot start: HIDPIPE_EIS=flatpak: expected kwin, mutter or portal"},
    {"HIDPIPE_UINPUT_SETTLE_MS=abc", 1, "cannot start: HIDPIPE_UINPUT_SETTLE_MS=abc: expected milliseconds"},
    {"HIDPIPE_UINPUT_SETTLE_MS=10001", 1,
     "cannot start: HIDPIPE_UINPUT_SETTLE_MS=10001: expected milliseconds"},
    {"HIDPIPE_SIM_FAIL=mouse,foo", 1, "cannot start: HIDPIPE_SIM_FAIL=mouse,foo: unknown creation \"foo\""},
    {"HIDPIPE_BACKEND=nosuch", 1, "cannot start: HIDPIPE_BACKEND=nosuch: no such backend in this build"},
    {"HIDPIPE_SIM_LOG=/nonexistent/dir/log", 1,
     "cannot start: cannot open the event log \"/nonexistent/dir/log\": No such file or directory"},
    {"HIDPIPE_SIM_LOG=FIFO", 1,
     "cannot start: cannot open the event log \"FIFO\": no process reads the FIFO"},
    {"HIDPIPE_SIM_LOG=/dev/full", 0,
     "line 1: the event log \"/dev/full\" could not be written (No space left on device); it ends here"},
};

TEST(process, every_bad_setting_is_explained) {
  char fifo[] = "/tmp/hidpipe-fifo-XXXXXX";
  ASSERT_NE(mkdtemp(fifo), nullptr);
  std::string fifo_path = std::string(fifo) + "/log";
  ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
  for (const setting_case &c : setting_cases) {
    std::string setting = c.setting;
    if (setting == "HIDPIPE_SIM_LOG=FIFO") setting = "HIDPIPE_SIM_LOG=" + fifo_path;
    process_result r = run_binary("K KeyA 1\n", {setting}, {"-v"});
    EXPECT_EQ(r.status, c.status) << c.setting;
    std::string said = c.said;
    if (setting != c.setting) said.replace(said.find("FIFO"), 4, fifo_path);
    EXPECT_NE(r.err.find("hidpipe: " + said), std::string::npos) << c.setting << ": " << r.err;
    // Without -v, nothing is said.
    EXPECT_EQ(run_binary("K KeyA 1\n", {setting}).err, "") << c.setting;
  }
  unlink(fifo_path.c_str());
  rmdir(fifo);
}

// Standard input in non-blocking mode (as a parent that shares the pipe may set it), with pauses
// between the writes: "nothing yet" is a wait for input, not its end.
TEST(process, non_blocking_input_waits_for_more) {
  signal(SIGPIPE, SIG_IGN);  // a session that ended early must fail the test, not end it
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // the writing end stays the test's alone
  ASSERT_EQ(fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
  live_process p({.stdin_fd = fds[0], .replies_piped = true});
  close(fds[0]);
  ASSERT_EQ(write(fds[1], "K KeyA 1\nS 1\n", 13), 13);
  EXPECT_EQ(p.read_reply(), "S 1");
  usleep(500000);
  EXPECT_FALSE(p.ended(0)) << "the session ended while its input was open";
  ASSERT_EQ(write(fds[1], "S 2\n", 4), 4);
  EXPECT_EQ(p.read_reply(), "S 2");
  close(fds[1]);
  process_result r = p.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.log.size(), 2u) << "the press and, at the end, its release";
}

// Standard input that cannot be read, a directory: not an end of input, but a failure, said.
TEST(process, unreadable_input_exits_1_and_says_why) {
  int dir = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  live_process p({.args = {"-v"}, .stdin_fd = dir});
  close(dir);
  process_result r = p.finish();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("hidpipe: cannot read standard input: Is a directory"), std::string::npos) << r.err;
}

// Standard output and error closed at start: nothing else takes their descriptors, so diagnostics
// never go into the log (or a window system's connection).
TEST(process, closed_standard_streams_stay_closed_to_others) {
  live_process p({.args = {"-v"}, .outputs_closed = true});
  p.write("K KeyA 1\nX\n");
  process_result r = p.finish();
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.log.size(), 2u);
  for (const std::string &line : r.log) EXPECT_EQ(line[0], '{') << line;
}

// Standard output closed at start: a reply reaches no one, and -v says so, once.
TEST(process, replies_to_a_closed_output_are_said_lost) {
  live_process p({.args = {"-v"}, .output_closed = true});
  p.write("S 1\nK KeyA 1\nS 2\n");
  process_result r = p.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(
      r.err.find("hidpipe: line 1: S: the reply cannot be written to standard output (it was closed when "
                 "hidpipe started); this and later replies are lost"),
      std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("line 3: S"), std::string::npos) << r.err;
}

}  // namespace
