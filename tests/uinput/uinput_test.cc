// The uinput backend through the binary, with tests/uinput/uinput_fake.cc standing for /dev/uinput: the
// device's description, the order of the calls, and the exact event groups of K, M, B, W and R
// streams. Then the automatic choice of the backend, rule by rule.
#include <unistd.h>

#include <chrono>
#include <csignal>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "fixture.h"

namespace {

// The interposer's record of one run: each line split into words.
using calls = std::vector<std::vector<std::string>>;

calls read_calls(const std::string &path) {
  calls all;
  std::ifstream f(path);
  for (std::string line; std::getline(f, line);) {
    std::istringstream words(line);
    all.emplace_back();
    for (std::string w; words >> w;) all.back().push_back(w);
  }
  return all;
}

// Runs the binary on input with the uinput backend over the interposer; returns its calls.
calls run_uinput(const std::string &input, process_result *result = nullptr,
                 const std::vector<std::string> &more = {}) {
  char path[] = "/tmp/hidpipe-uinput-XXXXXX";
  int fd = mkstemp(path);
  close(fd);
  std::vector<std::string> env = more;
  env.push_back(std::string("UINPUT_FAKE_LOG=") + path);
  // Text's keymap as the test says, else a US one, whatever the machine's configuration.
  bool layout_given = false;
  for (const std::string &e : more) layout_given = layout_given || e.rfind("XKB_DEFAULT_", 0) == 0;
  if (!layout_given) env.emplace_back("XKB_DEFAULT_LAYOUT=us");
  // The sanitizers want their runtime first; the interposer comes before it here.
  for (const char *e : {"LD_PRELOAD=" UINPUT_FAKE, "HIDPIPE_BACKEND=uinput", "HIDPIPE_SCREEN=1280x1024",
                        "HIDPIPE_UINPUT_SETTLE_MS=0", "ASAN_OPTIONS=verify_asan_link_order=0"})
    env.emplace_back(e);
  live_process p({.env = env});
  p.write(input);
  process_result r = p.finish();
  if (result != nullptr) *result = r;
  calls c = read_calls(path);
  unlink(path);
  return c;
}

int num(const std::string &s) { return std::stoi(s); }

// What no run may break; empty when all holds, else the first fault: the setup order (open, the
// description, setup, create, then writes, destroy, close), every emitted code enabled for its
// type, absolute values inside their range, every write one group that ends with SYN_REPORT.
std::string check_calls(const calls &c) {
  std::set<std::pair<int, int>> enabled;  // (type, code)
  std::set<int> types;
  std::map<int, std::pair<int, int>> range;  // absolute axis: min, max
  enum { described, created, destroyed, closed } stage = described;
  size_t opened = 0;
  for (size_t i = 0; i < c.size(); i++) {
    const std::vector<std::string> &w = c[i];
    const std::string &what = w[0];
    std::string at = "call " + std::to_string(i) + " (" + what + "): ";
    if (what == "open") {
      opened = i;
      stage = described;
      enabled.clear();
    } else if (what == "evbit") {
      types.insert(num(w[1]));
    } else if (what == "keybit" || what == "relbit" || what == "absbit") {
      if (stage != described) return at + "description after create";
      enabled.insert({what == "keybit" ? 1 : what == "relbit" ? 2 : 3, num(w[1])});
    } else if (what == "abs") {
      range[num(w[1])] = {num(w[2]), num(w[3])};
    } else if (what == "create") {
      if (stage != described || i == opened + 1) return at + "create out of order";
      stage = created;
    } else if (what == "write") {
      if (stage != created) return at + "write before create or after destroy";
      size_t j = i + 1;
      for (; j < c.size() && c[j][0] == "event"; j++) {
        int type = num(c[j][1]), code = num(c[j][2]), value = num(c[j][3]);
        bool last = j + 1 == c.size() || c[j + 1][0] != "event";
        if ((type == 0) != last) return at + "a group not ended by exactly one SYN_REPORT";
        if (type == 0) continue;
        if (types.count(type) == 0 || enabled.count({type, code}) == 0)
          return at + "code " + std::to_string(code) + " of type " + std::to_string(type) + " not enabled";
        if (type == 3 && (value < range[code].first || value > range[code].second))
          return at + "absolute value " + std::to_string(value) + " out of range";
      }
      if (j == i + 1) return at + "an empty write";
      i = j - 1;
    } else if (what == "destroy") {
      if (stage != created) return at + "destroy without create";
      stage = destroyed;
    } else if (what == "close") {
      if (stage == created) return at + "closed without destroying the device";
      stage = closed;
    }
  }
  return stage == closed ? "" : "the device was not destroyed and closed at the end";
}

// The event groups written, each as "type code value" triples without its SYN_REPORT.
std::vector<std::string> groups(const calls &c) {
  std::vector<std::string> all;
  for (const std::vector<std::string> &w : c) {
    if (w[0] == "write") all.emplace_back();
    if (w[0] != "event" || w[1] == "0") continue;
    if (!all.back().empty()) all.back() += ", ";
    all.back() += w[1] + " " + w[2] + " " + w[3];
  }
  return all;
}

// The calls on the second device, the mouse of relative motion, without their "2" (the first
// device's are the others).
calls second_device(const calls &c) {
  calls out;
  for (const std::vector<std::string> &w : c)
    if (!w.empty() && w[0] == "2") out.emplace_back(w.begin() + 1, w.end());
  return out;
}

TEST(uinput, describes_exactly_what_it_sends) {
  calls c = run_uinput("");
  EXPECT_EQ(check_calls(c), "");
  std::multiset<std::string> kinds;
  for (const std::vector<std::string> &w : c) kinds.insert(w[0]);
  EXPECT_EQ(kinds.count("keybit"), 105u + 5u) << "every key of the table and the five buttons";
  EXPECT_EQ(kinds.count("relbit"), 4u) << "both wheels, each in notches and hi-res";
  EXPECT_EQ(kinds.count("absbit"), 2u);
  std::vector<std::string> setup;
  for (const std::vector<std::string> &w : c)
    if (w[0] == "abs" || w[0] == "setup")
      setup.push_back(w[0] + " " + w[1] + " " + w[2] + (w.size() > 3 ? " " + w[3] : ""));
  EXPECT_EQ(setup, (std::vector<std::string>{"abs 0 0 1279", "abs 1 0 1023", "setup hidpipe 6"}));
  // Beside it, a mouse with both relative axes and the left button that makes it one, made after
  // the first and destroyed with it.
  calls mouse = second_device(c);
  EXPECT_EQ(check_calls(mouse), "");
  std::vector<std::string> described;
  for (const std::vector<std::string> &w : mouse)
    if (w[0] != "open" && w[0] != "create" && w[0] != "destroy" && w[0] != "close" && w[0] != "ioctl")
      described.push_back(w[0] + " " + w[1]);
  EXPECT_EQ(described, (std::vector<std::string>{"evbit 0", "evbit 1", "evbit 2", "keybit 272", "relbit 0",
                                                 "relbit 1", "setup hidpipe_relative"}));
}

struct relative_case {
  const char *what;
  const char *input;
  std::vector<std::string> groups;        // on the first device
  std::vector<std::string> mouse_groups;  // on the mouse (REL_X 0, REL_Y 1)
};

const relative_case relative_cases[] = {
    {"deltas as they are; an axis that does not move is left out, as the kernel drops it",
     "D 5 -3\nD 0 0\nD -2147483648 2147483647\nD 0 9\nD -4 0\n",
     {},
     {"2 0 5, 2 1 -3", "2 0 -2147483648, 2 1 2147483647", "2 1 9", "2 0 -4"}},
    // After D only the desktop knows where the pointer is: a button goes to its place first.
    {"a click after D positions first",
     "M 10 10\nD 5 5\nB 10 10 0 1\nB 10 10 0 0\n",
     {"3 0 10, 3 1 10", "3 0 10, 3 1 10", "1 272 1", "1 272 0"},
     {"2 0 5, 2 1 5"}},
    {"a drag by D holds the button on the first device",
     "M 1 1\nB 1 1 2 1\nD 3 4\nB 1 1 2 0\n",
     {"3 0 1, 3 1 1", "1 273 1", "3 0 1, 3 1 1", "1 273 0"},
     {"2 0 3, 2 1 4"}},
};

TEST(uinput, relative_motion_on_its_own_device) {
  for (const relative_case &c : relative_cases) {
    calls got = run_uinput(c.input);
    EXPECT_EQ(check_calls(got), "") << c.what;
    EXPECT_EQ(check_calls(second_device(got)), "") << c.what;
    EXPECT_EQ(groups(got), c.groups) << c.what;
    EXPECT_EQ(groups(second_device(got)), c.mouse_groups) << c.what;
  }
}

struct frame_case {
  const char *what;
  const char *input;
  std::vector<std::string> groups;  // every group written, the final release included
};

// Each row proves one rule of the translation (evdev: EV_KEY 1, EV_REL 2, EV_ABS 3; ABS_X 0,
// ABS_Y 1; REL_HWHEEL 6, REL_WHEEL 8, REL_WHEEL_HI_RES 11, REL_HWHEEL_HI_RES 12; BTN_LEFT 272,
// BTN_RIGHT 273, BTN_MIDDLE 274, BTN_SIDE 275, BTN_EXTRA 276).
const frame_case frame_cases[] = {
    {"keys by evdev code", "K KeyA 1\nK KeyA 0\n", {"1 30 1", "1 30 0"}},
    {"modifiers are keys too; R releases", "K ShiftLeft 1\nR\n", {"1 42 1", "1 42 0"}},
    {"a move is both axes", "M 10 20\nM 10 21\n", {"3 0 10, 3 1 20", "3 0 10, 3 1 21"}},
    {"positions stay inside the desktop", "M 5000 -5\n", {"3 0 1279, 3 1 0"}},
    {"a press at the pointer's place is the button alone",
     "M 10 20\nB 10 20 0 1\nB 10 20 0 0\n",
     {"3 0 10, 3 1 20", "1 272 1", "1 272 0"}},
    {"middle, right, back and forward",
     "M 1 1\nB 1 1 1 1\nB 1 1 2 1\nB 1 1 3 1\nB 1 1 4 1\n",
     {"3 0 1, 3 1 1", "1 274 1", "1 273 1", "1 275 1", "1 276 1", "1 274 0", "1 273 0", "1 275 0",
      "1 276 0"}},
    {"a release at a new place drags there first",
     "M 1 1\nB 1 1 0 1\nB 9 9 0 0\n",
     {"3 0 1, 3 1 1", "1 272 1", "3 0 9, 3 1 9", "1 272 0"}},
    {"a notch down: hi-res and the notch", "M 0 0\nW 0 0 0 120\n", {"3 0 0, 3 1 0", "2 11 -120, 2 8 -1"}},
    {"halves add up to a notch",
     "M 0 0\nW 0 0 0 -60\nW 0 0 0 -60\n",
     {"3 0 0, 3 1 0", "2 11 60", "2 11 60, 2 8 1"}},
    {"right is positive", "M 0 0\nW 0 0 40 0\nW 0 0 80 0\n", {"3 0 0, 3 1 0", "2 12 40", "2 12 80, 2 6 1"}},
    {"no scroll, no group", "M 0 0\nW 0 0 0 0\n", {"3 0 0, 3 1 0"}},
};

TEST(uinput, event_groups) {
  for (const frame_case &c : frame_cases) {
    calls got = run_uinput(c.input);
    EXPECT_EQ(check_calls(got), "") << c.what;
    EXPECT_EQ(groups(got), c.groups) << c.what;
  }
}

struct text_case {
  const char *what;
  std::vector<std::string> env;  // the keymap (XKB_DEFAULT_*), Caps Lock's light
  const char *input;
  std::vector<std::string> groups;  // every group written: each key press its own
};

// Text typed by the keys of the keymap's layout, as a person would type it (evdev: Shift 42, right
// Alt 100, which gives level 3 on de, Caps Lock 58; A 30, B 48, Q 16, 2 3).
const text_case text_cases[] = {
    {"us: Shift for capitals and @",
     {"XKB_DEFAULT_LAYOUT=us"},
     "T Ab@\n",
     {"1 42 1", "1 30 1", "1 30 0", "1 42 0", "1 48 1", "1 48 0", "1 42 1", "1 3 1", "1 3 0", "1 42 0"}},
    {"de: @ is right Alt and Q",
     {"XKB_DEFAULT_LAYOUT=de"},
     "T Ab@\n",
     {"1 42 1", "1 30 1", "1 30 0", "1 42 0", "1 48 1", "1 48 0", "1 100 1", "1 16 1", "1 16 0", "1 100 0"}},
    {"fr: A is where Q is on us", {"XKB_DEFAULT_LAYOUT=fr"}, "T a\n", {"1 16 1", "1 16 0"}},
    {"a character off the layout is skipped",
     {"XKB_DEFAULT_LAYOUT=us"},
     "T \xe6\x9d\xb1"
     "b\n",
     {"1 48 1", "1 48 0"}},
    {"a Shift held through K is left alone; the small letter it rules out is skipped",
     {"XKB_DEFAULT_LAYOUT=us"},
     "K ShiftLeft 1\nT aB\nK ShiftLeft 0\n",
     {"1 42 1", "1 48 1", "1 48 0", "1 42 0"}},
    {"Caps Lock switched off around the text while its light is on",
     {"XKB_DEFAULT_LAYOUT=us", "UINPUT_FAKE_CAPS=1"},
     "T a\n",
     {"1 58 1", "1 58 0", "1 30 1", "1 30 0", "1 58 1", "1 58 0"}},
    {"the text's keys between the user's own",
     {"XKB_DEFAULT_LAYOUT=us"},
     "K KeyX 1\nT b\nK KeyX 0\n",
     {"1 45 1", "1 48 1", "1 48 0", "1 45 0"}},
};

TEST(uinput, text_through_the_layout) {
  for (const text_case &c : text_cases) {
    calls got = run_uinput(c.input, nullptr, c.env);
    EXPECT_EQ(check_calls(got), "") << c.what;
    EXPECT_EQ(groups(got), c.groups) << c.what;
  }
}

// -v names the keymap text is typed with, where it came from, and each character skipped; a
// keymap that XKB_DEFAULT_* name and that cannot be made stops the start, with status 1.
TEST(uinput, says_which_keymap_and_what_was_skipped) {
  const std::vector<std::string> env = {"LD_PRELOAD=" UINPUT_FAKE, "HIDPIPE_BACKEND=uinput",
                                        "HIDPIPE_SCREEN=800x600", "HIDPIPE_UINPUT_SETTLE_MS=0",
                                        "ASAN_OPTIONS=verify_asan_link_order=0"};
  std::vector<std::string> de = env;
  de.emplace_back("XKB_DEFAULT_LAYOUT=de");
  live_process p({.env = de, .args = {"-v"}});
  p.write("T a\xe6\x9d\xb1\n");
  EXPECT_EQ(
      p.finish().err,
      "hidpipe: events go to the uinput device hidpipe (800x600 pixels), relative motion to hidpipe "
      "relative; text is typed with the layout "
      "\"German\" that the XKB_DEFAULT_ variables name\n"
      "hidpipe: line 1: T: cannot type U+6771 (\xe6\x9d\xb1): the layout \"German\" has no key for it\n");
  std::vector<std::string> bad = env;
  bad.emplace_back("XKB_DEFAULT_LAYOUT=no-such-layout");
  live_process q({.env = bad, .args = {"-v"}});
  q.write("M 1 1\n");
  process_result r = q.finish();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("hidpipe: cannot start: XKB_DEFAULT_LAYOUT=no-such-layout and the other XKB_DEFAULT_ "
                        "variables make no keymap: ",
                        0),
            0u)
      << r.err;
}

// S as the first line is answered only once the device exists and the desktop has had its settle
// time to open it: a controller waits for the reply instead of sleeping.
TEST(uinput, first_reply_waits_for_the_device) {
  char path[] = "/tmp/hidpipe-uinput-XXXXXX";
  close(mkstemp(path));
  auto begin = std::chrono::steady_clock::now();
  live_process p({.env = {"LD_PRELOAD=" UINPUT_FAKE, "HIDPIPE_BACKEND=uinput", "HIDPIPE_SCREEN=800x600",
                          "HIDPIPE_UINPUT_SETTLE_MS=300", "XKB_DEFAULT_LAYOUT=us",
                          std::string("UINPUT_FAKE_LOG=") + path, "ASAN_OPTIONS=verify_asan_link_order=0"},
                  .replies_piped = true});
  p.write("S ready\n");
  EXPECT_EQ(p.read_reply(), "S ready");
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(300));
  calls c = read_calls(path);
  bool created = false;
  for (const std::vector<std::string> &w : c) created = created || w[0] == "create";
  EXPECT_TRUE(created) << "answered before the device was made";
  EXPECT_EQ(p.finish().status, 0);
  unlink(path);
}

// A stop signal during the settle after the device is made ends the wait, and the session, at once.
TEST(uinput, stop_signal_ends_the_settle) {
  live_process p({.env = {"LD_PRELOAD=" UINPUT_FAKE, "HIDPIPE_BACKEND=uinput", "HIDPIPE_SCREEN=800x600",
                          "HIDPIPE_UINPUT_SETTLE_MS=10000", "ASAN_OPTIONS=verify_asan_link_order=0"}});
  p.write("K KeyA 1\n");
  usleep(300000);
  p.send(SIGTERM);
  EXPECT_TRUE(p.ended(2000)) << "still settling 2 s after SIGTERM";
  EXPECT_EQ(p.finish().signal, SIGTERM);
}

struct choice_case {
  const char *what;
  std::vector<std::string> env;  // on top of the interposer, no log and no backend named
  int status;
  const char *said;  // the first line -v writes
};

// Each row proves one rule of the automatic choice; the interposer stands for /dev/uinput, and
// UINPUT_FAKE_DENY makes it unwritable.
const choice_case choice_cases[] = {
    {"nothing can receive",
     {"UINPUT_FAKE_DENY=1"},
     1,
     "hidpipe: cannot start: nothing can receive the events: set DISPLAY for an X server, allow this user to "
     "write /dev/uinput (see man hidpipe, UINPUT), or set HIDPIPE_SIM_LOG for the event log alone"},
    {"the log alone",
     {"UINPUT_FAKE_DENY=1", "HIDPIPE_SIM_LOG=/dev/null"},
     0,
     "hidpipe: events go to the event log alone"},
    {"uinput before the log",
     {"HIDPIPE_SIM_LOG=/dev/null"},
     0,
     "hidpipe: events go to the uinput device hidpipe (640x480 pixels)"},
    {"uinput under Wayland",
     {"WAYLAND_DISPLAY=wayland-9"},
     0,
     "hidpipe: events go to the uinput device hidpipe (640x480 pixels)"},
    {"Wayland with nothing to receive",
     {"WAYLAND_DISPLAY=wayland-9", "UINPUT_FAKE_DENY=1"},
     1,
     "hidpipe: cannot start: nothing can receive the events under WAYLAND_DISPLAY: cannot connect to the "
     "Wayland compositor \"wayland-9\""},
    {"a named backend that cannot start",
     {"HIDPIPE_BACKEND=uinput", "UINPUT_FAKE_DENY=1"},
     1,
     "hidpipe: cannot start: cannot open /dev/uinput (see man hidpipe, UINPUT, for access): Permission "
     "denied"},
    {"a backend this build lacks",
     {"HIDPIPE_BACKEND=carrier-pigeon"},
     1,
     "hidpipe: cannot start: HIDPIPE_BACKEND=carrier-pigeon: no such backend in this build, which has"},
};

TEST(backend_choice, rules) {
  for (const choice_case &c : choice_cases) {
    std::vector<std::string> env = c.env;
    for (const char *e :
         {"HIDPIPE_BACKEND=", "HIDPIPE_SIM_LOG=", "LD_PRELOAD=" UINPUT_FAKE, "HIDPIPE_SCREEN=640x480",
          "HIDPIPE_UINPUT_SETTLE_MS=0", "ASAN_OPTIONS=verify_asan_link_order=0"})
      env.emplace_back(e);
    live_process p({.env = env, .args = {"-v"}});
    process_result r = p.finish();
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.err.substr(0, strlen(c.said)), c.said) << c.what;
  }
}

}  // namespace
