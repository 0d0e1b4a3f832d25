// Counts what reaches a window of ours on a headless sway while each sender runs, and checks that
// all of it arrived, in order: 10,000 pointer moves and 1,000 key taps (2,000 key events) from
// hidpipe, from a bare protocol loop of ours (the ceiling), and key taps from wtype; 10,000
// relative moves from hidpipe and the loop; 1,000
// characters of text from hidpipe and from wtype. Then hidpipe's write-to-arrival latency over
// single moves, and S: its round trip and moves in lock step (M, S, wait for the reply), against
// LOOP's moves each followed by a round trip.
//   wayland_count HIDPIPE LOOP RUNS           on sway
//   wayland_count --gnome HIDPIPE LOOP RUNS   on headless mutter, through its remote-desktop
//                                             interface, LOOP being tests/gnome/mutter_devices.cc
//   wayland_count --kwin HIDPIPE LOOP RUNS    on KWin with a US layout: 1,000 and 10,000
//                                             characters of text through fake input, from
//                                             hidpipe and from LOOP's bare fake-input loop
//                                             pressing the same keys; the rate is in characters
//                                             a second
//   wayland_count --ei HIDPIPE LOOP RUNS DEVICES  the ei backend on KWin's EIS, then on headless
//                                             mutter's (DEVICES: tests/gnome/mutter_devices.cc):
//                                             moves, keys and the US text against LOOP, the bare
//                                             libei loop (bench/ei_loop.cc), then S; a "desktop
//                                             NAME" line before each
// Prints "workload sender events events/s lost out-of-order dropped" lines (medians of RUNS runs;
// dropped counts runs retried because the compositor dropped the window, too slow to keep up),
// then "latency MEDIAN P99" in microseconds, then "roundtrip MEDIAN P99" (µs), "lockstep RATE" and,
// on sway, "loop RATE" (moves a second).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "lockstep.h"
#include "us_text.h"
#include "wayland_session.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int moves = 10000;
constexpr int taps = 1000;
constexpr int burst = 100000;

bool gnome;                            // mutter's windows, one on each monitor, rather than one window
bool kwin;                             // KWin's fake input
std::string backend_name = "wayland";  // hidpipe's, as HIDPIPE_BACKEND names it

std::vector<std::pair<unsigned, bool>> text_keys;  // the key events of KWin's text, in order
size_t text_chars;                                 // the characters of that text

struct measured {
  int events;     // counted on arrival
  double rate;    // per second, from the sender's start to the last arrival
  int lost;       // expected and never seen
  bool disorder;  // seen out of order
};

int relative_origin;  // where the first relative move of a run arrived

// Whether line is the i-th event the workload makes arrive.
bool in_place(const std::string &kind, int i, const std::string &line) {
  if (kind == "relative") {
    // 5 pixels right, then back: the moves alternate between two places.
    int x = 0, y = 0;
    if (sscanf(line.c_str(), "motion %d %d", &x, &y) != 2) return false;
    if (i == 0) relative_origin = x;
    return x == relative_origin - (i % 2 == 0 ? 0 : 5);
  }
  if (kind == "moves") {
    char want[48];
    snprintf(want, sizeof want, gnome ? "motion 0 %d %d" : "motion %d %d", 1 + i % 1200, 1 + i / 1200 % 700);
    return line == want;
  }
  std::istringstream words(line);
  std::string key, code, state;
  words >> key >> code >> state;
  if (kind == "fake-text")
    return static_cast<size_t>(i) < text_keys.size() && code == std::to_string(text_keys[i].first) &&
           state == (text_keys[i].second ? "1" : "0");
  return state == (i % 2 == 0 ? "1" : "0");
}

// Counts the workload's events among lines the window printed; true when the compositor dropped it.
bool count_lines(const std::string &kind, const std::vector<std::string> &lines, measured *m) {
  bool gone = false;
  for (const std::string &line : lines) {
    if (line.rfind("gone", 0) == 0) gone = true;
    if (line.rfind("tally ", 0) == 0) m->events = atoi(line.c_str() + 6);
    bool pointer = kind == "moves" || kind == "relative";
    if (line.rfind(pointer ? "motion " : "key ", 0) != 0) continue;
    if (!in_place(kind, m->events, line)) m->disorder = true;
    m->events++;
  }
  return gone;
}

// One run with a fresh window, so that a run starts with nothing queued from the one before.
// Returns false when the compositor dropped the window during the run: that run says nothing about
// the sender.
bool run_once(const wayland_session &s, const std::string &kind, int expected, const std::string &program,
              const std::vector<std::string> &args, const std::string &input, measured *m) {
  observer o;
  std::vector<std::string> env;
  if (kind == "burst") env.emplace_back("OBSERVER_TALLY=1");
  if (gnome) env.emplace_back("OBSERVER_OUTPUTS=1");
  if (!o.start(s, env)) return false;
  int in = -1, out = -1;
  auto begin = clock_type::now();
  pid_t pid = s.spawn(program, args, {"HIDPIPE_BACKEND=" + backend_name}, &in, &out);
  bool written = write(in, input.data(), input.size()) == static_cast<ssize_t>(input.size());
  close(in);
  *m = {0, 0, 0, false};
  bool gone = false;
  auto last = begin;
  while (written && !gone && m->events < expected) {
    // No more lines than may still come: the counter must not wait for lines that do not. A
    // tally comes as one line now and then.
    size_t most = kind == "burst" ? 1 : static_cast<size_t>(expected - m->events);
    std::vector<std::string> lines = o.take(most, 2000);
    if (lines.empty()) break;
    gone = count_lines(kind, lines, m);
    last = clock_type::now();
  }
  waitpid(pid, nullptr, 0);
  close(out);
  m->lost = expected - m->events;
  m->rate = m->events / std::chrono::duration<double>(last - begin).count();
  // KWin's text counts characters: the text's key events stand for its 1,000.
  if (kind == "fake-text") m->rate *= static_cast<double>(text_chars) / static_cast<double>(expected);
  return !gone;
}

// The expected number of events of a workload.
int expected_of(const std::string &kind) {
  return kind == "moves" || kind == "relative" ? moves
         : kind == "burst"                     ? burst
         : kind == "fake-text"                 ? static_cast<int>(text_keys.size())
                                               : 2 * taps;
}

// The runs of one sender, and how many were run again because the compositor dropped the window.
struct runs_of {
  std::vector<measured> kept;
  int dropped = 0;
};

// Runs a sender once more, trying again (up to twice) when the compositor dropped the window.
void run_kept(const wayland_session &s, const std::string &kind, const std::string &program,
              const std::vector<std::string> &args, const std::string &input, runs_of *r) {
  for (int tries = 0; tries < 3; tries++) {
    measured m{};
    if (run_once(s, kind, expected_of(kind), program, args, input, &m)) {
      r->kept.push_back(m);
      return;
    }
    r->dropped++;
  }
}

// Prints the median run's line.
void print(const std::string &kind, const std::string &name, runs_of r) {
  if (r.kept.empty()) {
    printf("%s %s 0 0 -1 0 %d\n", kind.c_str(), name.c_str(), r.dropped);
    return;
  }
  std::sort(r.kept.begin(), r.kept.end(),
            [](const measured &a, const measured &b) { return a.rate < b.rate; });
  const measured &median = r.kept[r.kept.size() / 2];
  int lost = 0;
  bool disorder = false;
  for (const measured &m : r.kept) {
    lost = std::max(lost, m.lost);
    disorder = disorder || m.disorder;
  }
  printf("%s %s %d %.0f %d %d %d\n", kind.c_str(), name.c_str(), median.events, median.rate, lost,
         disorder ? 1 : 0, r.dropped);
  fflush(stdout);
}

void report(const wayland_session &s, const std::string &kind, const std::string &name,
            const std::string &program, const std::vector<std::string> &args, const std::string &input,
            int runs) {
  runs_of r;
  for (int i = 0; i < runs; i++) run_kept(s, kind, program, args, input, &r);
  print(kind, name, r);
}

void latency(const wayland_session &s, const std::string &hidpipe, int n) {
  observer o;
  if (!o.start(s, gnome ? std::vector<std::string>{"OBSERVER_OUTPUTS=1"} : std::vector<std::string>{}))
    return;
  int in = -1, out = -1;
  pid_t pid = s.spawn(hidpipe, {}, {"HIDPIPE_BACKEND=" + backend_name}, &in, &out);
  if (gnome && write(in, "M 1 1\n", 6) != 6) return;
  usleep(gnome ? 1000000 : 300000);  // connected, its devices made, settled
  o.take(1000000, 50);
  std::vector<double> times;
  for (int i = 0; i < n; i++) {
    char line[48];
    int len = snprintf(line, sizeof line, "M %d %d\n", 100 + i % 1000, 100 + i % 2);
    auto begin = clock_type::now();
    if (write(in, line, static_cast<size_t>(len)) != len) break;
    if (o.take(1, 1000).empty()) break;
    times.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - begin).count());
  }
  close(in);
  waitpid(pid, nullptr, 0);
  close(out);
  if (times.empty()) return;
  std::sort(times.begin(), times.end());
  auto at = [&](double p) {
    return times[static_cast<size_t>(std::lround(p * static_cast<double>(times.size() - 1)))];
  };
  printf("latency %.1f %.1f\n", at(0.5), at(0.99));
}

// S through hidpipe: 10,000 alone, then lockstep_moves (10,000 unless given) after a move each, in lock step;
// then, with a loop, its moves each followed by a round trip.
void sync_figures(const wayland_session &s, const std::string &hidpipe, const std::string &loop,
                  const std::string &backend, int lockstep_moves = 10000) {
  int in = -1, out = -1;
  pid_t pid = s.spawn(hidpipe, {}, {"HIDPIPE_BACKEND=" + backend}, &in, &out);
  lockstep::reader replies{out, {}};
  lockstep::report(in, replies, 10000, lockstep_moves);
  close(in);
  waitpid(pid, nullptr, 0);
  close(out);
  if (loop.empty()) return;
  pid = s.spawn(loop, {"sync", "10000"}, {}, &in, &out);
  close(in);
  char line[64] = "";
  ssize_t got = read(out, line, sizeof line - 1);
  if (got > 0) fputs(line, stdout);
  waitpid(pid, nullptr, 0);
  close(out);
}

// KWin with a US layout: 1,000 and 10,000 characters of text from the bare fake-input loop and from
// hidpipe, as "text-1000" and "text-10000" lines.
int kwin_text(wayland_session &s, const std::string &hidpipe_binary, const std::string &loop_binary,
              int runs) {
  if (!s.start_kwin({"XKB_DEFAULT_LAYOUT=us"})) {
    fprintf(stderr, "wayland_count: %s\n", s.why().c_str());
    return 2;
  }
  std::string hidpipe = s.install(hidpipe_binary), loop = s.install(loop_binary);
  for (int repeats : {1, 10}) {
    std::string text, input;
    for (int r = 0; r < repeats; r++) text += us_text();
    text_keys = us_presses(text);
    text_chars = text.size();
    for (size_t i = 0; i < text.size(); i += 50) input += "T " + text.substr(i, 50) + "\n";
    // A short run takes some 10 ms, within which KWin's scheduling moves the last arrival by
    // milliseconds: three times the runs, the two senders taking turns, so that both meet the same
    // conditions.
    runs_of ceiling, ours;
    for (int i = 0; i < 3 * runs; i++) {
      run_kept(s, "fake-text", loop, {"fake-text", std::to_string(repeats)}, "", &ceiling);
      run_kept(s, "fake-text", hidpipe, {}, input, &ours);
    }
    std::string name = "text-" + std::to_string(text_chars);
    print(name, "ceiling", ceiling);
    print(name, "hidpipe", ours);
  }
  sync_figures(s, hidpipe, "", "wayland");
  return 0;
}

// n moves over 1280x720, each to a place other than the one before, as M lines.
std::string move_commands(int n) {
  std::string input;
  for (int i = 0; i < n; i++)
    input += "M " + std::to_string(1 + i % 1200) + " " + std::to_string(1 + i / 1200 % 700) + "\n";
  return input;
}

// The taps of the A key, as K lines.
std::string tap_commands() {
  std::string input;
  for (int i = 0; i < taps; i++) input += "K KeyA 1\nK KeyA 0\n";
  return input;
}

// mutter's figures: moves and keys against the bare loop of calls, the latency, S.
void gnome_figures(const wayland_session &s, const std::string &hidpipe, const std::string &loop, int runs) {
  std::string move_input = move_commands(moves), key_input = tap_commands();
  report(s, "moves", "ceiling", loop, {"moves", std::to_string(moves)}, "", runs);
  report(s, "moves", "hidpipe", hidpipe, {}, move_input, runs);
  report(s, "keys", "ceiling", loop, {"keys", std::to_string(taps)}, "", runs);
  report(s, "keys", "hidpipe", hidpipe, {}, key_input, runs);
  latency(s, hidpipe, 2000);
  // A reply after events waits for mutter to be quiet for a while (gnome.md): fewer rounds.
  sync_figures(s, hidpipe, "", "gnome", 400);
}

}  // namespace

// The ei backend on KWin's EIS, then on mutter's: moves, keys and text against the bare libei loop,
// then S.
int ei_figures(const std::string &hidpipe_binary, const std::string &loop_binary, int runs,
               const std::string &devices) {
  backend_name = "ei";
  std::string text = us_text(), text_input;
  text_keys = us_presses(text);
  text_chars = text.size();
  for (size_t i = 0; i < text.size(); i += 50) text_input += "T " + text.substr(i, 50) + "\n";
  for (bool on_mutter : {true, false}) {
    wayland_session s;
    gnome = on_mutter;
    if (on_mutter ? !s.start_mutter(devices)
                  : !s.start_kwin({"XKB_DEFAULT_LAYOUT=us"}, kwin_grant::unchecked, true)) {
      fprintf(stderr, "wayland_count: %s\n", s.why().c_str());
      return 2;
    }
    printf("desktop %s\n", on_mutter ? "mutter" : "kwin");
    std::string hidpipe = s.install(hidpipe_binary), loop = s.install(loop_binary);
    report(s, "moves", "ceiling", loop, {"moves", std::to_string(moves)}, "", runs);
    report(s, "moves", "hidpipe", hidpipe, {}, move_commands(moves), runs);
    report(s, "keys", "ceiling", loop, {"keys", std::to_string(taps)}, "", runs);
    report(s, "keys", "hidpipe", hidpipe, {}, tap_commands(), runs);
    report(s, "fake-text", "ceiling", loop, {"text", "1"}, "", runs);
    report(s, "fake-text", "hidpipe", hidpipe, {}, text_input, runs);
    // On mutter a reply after events waits for it to be quiet for a while, as for the gnome backend.
    sync_figures(s, hidpipe, loop, "ei", on_mutter ? 200 : 2000);
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 6 && std::string(argv[1]) == "--ei")
    return ei_figures(argv[2], argv[3], atoi(argv[4]), argv[5]);
  gnome = argc > 1 && std::string(argv[1]) == "--gnome";
  kwin = argc > 1 && std::string(argv[1]) == "--kwin";
  if (gnome) backend_name = "gnome";
  if (gnome || kwin) {
    argv++;
    argc--;
  }
  if (argc < 4) {
    fprintf(stderr,
            "usage: wayland_count [--gnome | --kwin] HIDPIPE LOOP RUNS | --ei HIDPIPE LOOP RUNS DEVICES\n");
    return 2;
  }
  int runs = atoi(argv[3]);
  wayland_session s;
  if (kwin) return kwin_text(s, argv[1], argv[2], runs);
  if (gnome ? !s.start_mutter(argv[2]) : !s.start_sway()) {
    fprintf(stderr, "wayland_count: %s\n", s.why().c_str());
    return 2;
  }
  std::string hidpipe = s.install(argv[1]), loop = s.install(argv[2]);
  if (gnome) {
    gnome_figures(s, hidpipe, loop, runs);
    return 0;
  }
  // Text: 1,000 characters, 50 to a line, some off the US layout, so that the keymap of the text's
  // own characters is used, as in real use.
  const char *letters[] = {"a", "b", "c", "d",        "e",        "f",       "g",
                           "h", "i", "j", "\xc3\xa9", "\xc3\xa8", "\xc3\xb1"};
  std::string text, text_input;
  for (int i = 0; i < taps; i++) {
    std::string c = letters[i % std::size(letters)];
    text += c;
    if (i % 50 == 0) text_input += "T ";
    text_input += c;
    if (i % 50 == 49) text_input += "\n";
  }
  std::string move_input = move_commands(moves), key_input = tap_commands();
  report(s, "moves", "ceiling", loop, {"moves", std::to_string(moves)}, "", runs);
  report(s, "moves", "hidpipe", hidpipe, {}, move_input, runs);
  std::string relative_input;
  for (int i = 0; i < moves; i++) relative_input += i % 2 == 0 ? "D 5 0\n" : "D -5 0\n";
  report(s, "relative", "ceiling", loop, {"relative", std::to_string(moves)}, "", runs);
  report(s, "relative", "hidpipe", hidpipe, {}, relative_input, runs);
  report(s, "keys", "ceiling", loop, {"keys", std::to_string(taps)}, "", runs);
  report(s, "keys", "hidpipe", hidpipe, {}, key_input, runs);
  if (std::string wtype = on_path("wtype"); !wtype.empty())
    report(s, "keys", "wtype", s.install(wtype), {std::string(taps, 'a')}, "", runs);
  // A burst as a controller replaying a recording might send: all of it must arrive, and the
  // window must not be dropped as too slow.
  std::string burst_input = move_commands(burst);
  report(s, "burst", "hidpipe", hidpipe, {}, burst_input, runs);
  report(s, "text", "hidpipe", hidpipe, {}, text_input, runs);
  if (std::string wtype = on_path("wtype"); !wtype.empty())
    report(s, "text", "wtype", s.install(wtype), {text}, "", runs);
  latency(s, hidpipe, 2000);
  sync_figures(s, hidpipe, loop, "wayland");
  return 0;
}
