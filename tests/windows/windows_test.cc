// hidpipe.exe end to end on a Windows desktop (or Wine's): each case's commands go through
// hidpipe.exe, and what the observer window receives must be exactly the case's lines, every
// input marked as injected, with nothing held afterwards and hidpipe ending with status 0.
//   windows_test HIDPIPE OBSERVER [--show | --replies]
// --show prints what each case received instead of comparing; --replies runs the case of S alone
// (which timing concerns). Exits 0 when every case passes.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "session.h"

namespace {

struct test_case {
  const char *name;
  const char *input;                   // hidpipe's commands
  std::vector<const char *> expected;  // the observer's lines: the hooks' in order, the window's in order
};

// The desktop's far corner depends on its size: in inputs and lines, "{R}" and "{B}" stand for
// its last column and row.
// clang-format off
const test_case cases[] = {
    // Positions land on the exact pixel, the edges included; off the desktop they are held to it.
    {"moves to the edges",
     "M 0 0\nM 1 1\nM 517 309\nM {R} {B}\nM -50 -50\nM 99999 99999\n",
     {"move 0 0 injected", "move 1 1 injected", "move 517 309 injected", "move {R} {B} injected",
      "move 0 0 injected", "move {R} {B} injected"}},
    // Each button where the pointer is; a button after a move needs no move of its own.
    {"five buttons",
     "M 10 20\nB 10 20 0 1\nB 10 20 0 0\nB 10 20 1 1\nB 10 20 1 0\nB 10 20 2 1\nB 10 20 2 0\n"
     "B 10 20 3 1\nB 10 20 3 0\nB 10 20 4 1\nB 10 20 4 0\n",
     {"move 10 20 injected",
      "down left 10 20 injected", "up left 10 20 injected",
      "down middle 10 20 injected", "up middle 10 20 injected",
      "down right 10 20 injected", "up right 10 20 injected",
      "down x1 10 20 injected", "up x1 10 20 injected",
      "down x2 10 20 injected", "up x2 10 20 injected"}},
    // A button somewhere else goes there first, in the same input.
    {"button elsewhere",
     "B 300 200 0 1\nB 300 200 0 0\n",
     {"move 300 200 injected", "down left 300 200 injected", "up left 300 200 injected"}},
    // Wheel deltas are the pixels: 120 a notch, nothing lost below it. W's positive dy scrolls
    // down, its positive dx right.
    {"scroll",
     "M 50 50\nW 50 50 0 120\nW 50 50 0 -120\nW 50 50 0 1\nW 50 50 120 0\nW 50 50 -240 0\nW 50 50 30 -60\n",
     {"move 50 50 injected", "wheel -120 injected", "wheel 120 injected", "wheel -1 injected",
      "hwheel 120 injected", "hwheel -240 injected", "wheel 60 injected", "hwheel 30 injected"}},
    // Modifiers are real key presses: Windows derives their state, and the window sees Shift
    // held at the A and a capital A.
    {"shift and a",
     "K ShiftLeft 1\nK KeyA 1\nK KeyA 0\nK ShiftLeft 0\n",
     {"key a0 2a 0 down injected", "key 41 1e 0 down injected", "key 41 1e 0 up injected", "key a0 2a 0 up injected",
      "message keydown 10 shift", "message keydown 41 shift", "char 0041", "message keyup 41 shift",
      "message keyup 10 -"}},
    // The right Alt is extended; Control and Alt both held at the C.
    {"control, right alt and c",
     "K ControlLeft 1\nK AltRight 1\nK KeyC 1\nK KeyC 0\nK AltRight 0\nK ControlLeft 0\n",
     {"key a2 1d 0 down injected", "key a5 38 1 down injected", "key 43 2e 0 down injected",
      "key 43 2e 0 up injected", "key a5 38 1 up injected", "key a2 1d 0 up injected",
      "message keydown 11 ctrl", "message keydown 12 ctrl alt", "message keydown 43 ctrl alt",
      "message keyup 43 ctrl alt", "message keyup 12 ctrl", "message keyup 11 -"}},
    // Extended keys carry the flag and their own virtual key: the right Control is not the left
    // one (Wine would take its scan code for the left), the keypad's Enter is Enter with the flag,
    // NumLock is extended to SendInput. NumpadEqual is VK_CLEAR.
    {"extended keys",
     "K ArrowUp 1\nK ArrowUp 0\nK ControlRight 1\nK ControlRight 0\nK NumpadEnter 1\nK NumpadEnter 0\n"
     "K Enter 1\nK Enter 0\nK NumLock 1\nK NumLock 0\nK NumLock 1\nK NumLock 0\nK NumpadDivide 1\n"
     "K NumpadDivide 0\nK ContextMenu 1\nK ContextMenu 0\nK Insert 1\nK Insert 0\nK NumpadEqual 1\n"
     "K NumpadEqual 0\n",
     {"key 26 48 1 down injected", "key 26 48 1 up injected", "key a3 1d 1 down injected", "key a3 1d 1 up injected",
      "key 0d 1c 1 down injected", "key 0d 1c 1 up injected", "key 0d 1c 0 down injected", "key 0d 1c 0 up injected",
      "key 90 45 1 down injected", "key 90 45 1 up injected", "key 90 45 1 down injected", "key 90 45 1 up injected",
      "key 6f 35 1 down injected", "key 6f 35 1 up injected", "key 5d 5d 1 down injected", "key 5d 5d 1 up injected",
      "key 2d 52 1 down injected", "key 2d 52 1 up injected", "key 0c 59 0 down injected", "key 0c 59 0 up injected",
      "message keydown 26 -", "message keyup 26 -", "message keydown 11 ctrl", "message keyup 11 -",
      "message keydown 0d -", "char 000d", "message keyup 0d -", "message keydown 0d -", "char 000d",
      "message keyup 0d -", "message keydown 90 -", "message keyup 90 -", "message keydown 90 -",
      "message keyup 90 -", "message keydown 6f -", "char 002f", "message keyup 6f -", "message keydown 5d -",
      "message keyup 5d -", "message keydown 2d -", "message keyup 2d -", "message keydown 0c -",
      "message keyup 0c -"}},
    // Text as Unicode packets, a unit each, a character off every layout's keys as its surrogate
    // pair.
    {"text",
     "T h\xc3\xa9 \xf0\x9f\x98\x80\n",
     {"key e7 68 0 down injected", "key e7 68 0 up injected", "key e7 e9 0 down injected", "key e7 e9 0 up injected",
      "key e7 20 0 down injected", "key e7 20 0 up injected", "key e7 d83d 0 down injected",
      "key e7 d83d 0 up injected", "key e7 de00 0 down injected", "key e7 de00 0 up injected",
      "message keydown e7 -", "char 0068", "message keyup e7 -", "message keydown e7 -", "char 00e9",
      "message keyup e7 -", "message keydown e7 -", "char 0020", "message keyup e7 -", "message keydown e7 -",
      "char d83d", "message keyup e7 -", "message keydown e7 -", "char de00", "message keyup e7 -"}},
    // A held modifier stays held through text; the text is as written.
    {"text with shift held",
     "K ShiftLeft 1\nT ab\nK ShiftLeft 0\n",
     {"key a0 2a 0 down injected", "key e7 61 0 down injected", "key e7 61 0 up injected",
      "key e7 62 0 down injected", "key e7 62 0 up injected", "key a0 2a 0 up injected",
      "message keydown 10 shift", "message keydown e7 shift", "char 0061", "message keyup e7 shift",
      "message keydown e7 shift", "char 0062", "message keyup e7 shift", "message keyup 10 -"}},
    // R releases keys in the key table's order, then buttons, each where the pointer is.
    {"release everything",
     "K ShiftLeft 1\nK KeyQ 1\nB 5 5 0 1\nB 5 5 4 1\nR\n",
     {"key a0 2a 0 down injected", "key 51 10 0 down injected", "move 5 5 injected", "down left 5 5 injected",
      "down x2 5 5 injected", "key 51 10 0 up injected", "key a0 2a 0 up injected", "up left 5 5 injected",
      "up x2 5 5 injected",
      "message keydown 10 shift", "message keydown 51 shift", "char 0051", "message keyup 51 shift",
      "message keyup 10 -"}},
    // The end of input releases what is held.
    {"end of input",
     "K ControlRight 1\nB 7 7 2 1\n",
     {"key a3 1d 1 down injected", "move 7 7 injected", "down right 7 7 injected", "key a3 1d 1 up injected",
      "up right 7 7 injected",
      "message keydown 11 ctrl", "message keyup 11 -"}},
    // Invalid lines post nothing.
    {"invalid lines",
     "K NoSuchKey 1\nM x y\nB 1 1 9 1\nW\nQ\nK KeyA 2\n",
     {}},
};
// clang-format on

std::string expand(std::string line, int width, int height) {
  for (auto [mark, value] : {std::pair{"{R}", width - 1}, std::pair{"{B}", height - 1}})
    for (size_t at; (at = line.find(mark)) != std::string::npos;) line.replace(at, 3, std::to_string(value));
  return line;
}

bool from_window(const std::string &line) {
  return line.rfind("message ", 0) == 0 || line.rfind("char ", 0) == 0;
}

// The lines of one stream: the window's, or the hooks'.
std::vector<std::string> stream(const std::vector<std::string> &lines, bool window) {
  std::vector<std::string> out;
  for (const std::string &line : lines)
    if (from_window(line) == window) out.push_back(line);
  return out;
}

bool run(const test_case &c, const std::string &hidpipe, observer &o, bool show) {
  o.sync();  // whatever came before
  child h;
  if (!h.start(quoted(hidpipe) + " -v")) {
    printf("FAIL %s: cannot start %s\n", c.name, hidpipe.c_str());
    return false;
  }
  h.write(expand(c.input, o.width, o.height));
  h.close_input();
  DWORD status = h.wait();
  std::vector<std::string> got = o.sync();
  std::string held = o.held();
  if (show) {
    printf("== %s (status %lu, %s)\n", c.name, status, held.c_str());
    for (const std::string &line : got) printf("  %s\n", line.c_str());
    for (std::string said; h.line(&said, 0);) printf("  hidpipe: %s\n", said.c_str());
    return true;
  }
  // The hooks' lines and the window's are two streams, each in order; how Windows interleaves
  // them is its own affair.
  std::vector<std::string> want;
  for (const char *line : c.expected) want.push_back(expand(line, o.width, o.height));
  bool ok = status == 0 && held == "held none" && stream(got, true) == stream(want, true) &&
            stream(got, false) == stream(want, false);
  if (ok) {
    printf("ok   %s\n", c.name);
    return true;
  }
  printf("FAIL %s: status %lu, %s\n", c.name, status, held.c_str());
  for (bool window : {false, true}) {
    std::vector<std::string> w = stream(want, window), g = stream(got, window);
    printf("  %s: expected, received\n", window ? "window" : "hooks");
    for (size_t i = 0; i < w.size() || i < g.size(); i++)
      printf("  %-36s %s\n", i < w.size() ? w[i].c_str() : "(nothing)",
             i < g.size() ? g[i].c_str() : "(nothing)");
  }
  for (std::string said; h.line(&said, 0);) printf("  hidpipe: %s\n", said.c_str());
  return false;
}

// Ctrl+Break, as a console delivers it, releases what is held and ends hidpipe as Ctrl+C ends a
// console program; a line not yet complete does not run.
bool break_releases(const std::string &hidpipe, observer &o) {
  o.sync();
  // Console events go to the programs of a console, which hidpipe shares with this program; in
  // a group of its own, so that the event reaches hidpipe alone.
  child h;
  if (!h.start(quoted(hidpipe), CREATE_NEW_PROCESS_GROUP)) return false;
  h.write("K ShiftLeft 1\nB 40 40 0 1\nK Key");
  std::vector<std::string> got;
  // Until hidpipe has posted the press, as the observer sees.
  for (int tries = 0; tries < 200 && got.size() < 3; tries++) {
    std::vector<std::string> more = o.sync();
    for (const std::string &line : more)
      if (!from_window(line)) got.push_back(line);
  }
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, h.id)) {
    // Wine 8 gives a program started without a terminal no console, and cannot send the event
    // to a process group even with one. The end of input releases instead.
    printf("skip Ctrl+Break: no console to send it through here (error %lu)\n", GetLastError());
    h.close_input();
    h.wait(5000);
    o.sync();
    return true;
  }
  DWORD status = h.wait(5000);
  for (const std::string &line : o.sync())
    if (!from_window(line)) got.push_back(line);
  std::string held = o.held();
  std::vector<std::string> want = {"key a0 2a 0 down injected", "move 40 40 injected",
                                   "down left 40 40 injected", "key a0 2a 0 up injected",
                                   "up left 40 40 injected"};
  bool ok = status == STATUS_CONTROL_C_EXIT && got == want && held == "held none";
  printf("%s Ctrl+Break: status %#lx, %s\n", ok ? "ok  " : "FAIL", status, held.c_str());
  if (!ok)
    for (const std::string &line : got) printf("  %s\n", line.c_str());
  return ok;
}

// D moves by its deltas from wherever the cursor is, and a click after it goes to its place first.
// The system's pointer acceleration applies to relative moves of the cursor (Wine doubles a move
// past its threshold as Windows' classic acceleration does): switched off here, the hook sees the
// deltas exactly.
bool relative_moves(const std::string &hidpipe, observer &o, bool show) {
  static const test_case c = {
      "relative moves, acceleration off",
      "M 100 100\nD 30 -20\nD -5 7\nB 120 90 0 1\nB 120 90 0 0\n",
      {"move 100 100 injected", "move 130 80 injected", "move 125 87 injected", "move 120 90 injected",
       "down left 120 90 injected", "up left 120 90 injected"}};
  int saved[3] = {}, off[3] = {0, 0, 0};
  SystemParametersInfoW(SPI_GETMOUSE, 0, saved, 0);
  SystemParametersInfoW(SPI_SETMOUSE, 0, off, 0);
  bool ok = run(c, hidpipe, o, show);
  SystemParametersInfoW(SPI_SETMOUSE, 0, saved, 0);
  return ok;
}

// S answers on standard output, in order and with its token, each ending in a newline alone, once
// SendInput has taken what came before; the first once hidpipe is ready; P between lines changes
// nothing that is posted.
bool replies(const std::string &hidpipe, observer &o) {
  o.sync();
  child h;
  if (!h.start(quoted(hidpipe))) return false;
  std::vector<std::string> said(2);
  h.write("S first\n");
  bool answered = h.line(&said[0], 5000);
  bool crlf = h.crlf;  // a reply ends in a newline alone, as the protocol says
  h.write("K KeyA 1\nP 20\nK KeyA 0\nS  second one\n");
  answered = h.line(&said[1], 5000) && answered;
  crlf = crlf || h.crlf;
  std::vector<std::string> got = stream(o.sync(), false);
  h.close_input();
  DWORD status = h.wait(5000);
  std::vector<std::string> want = {"key 41 1e 0 down injected", "key 41 1e 0 up injected"};
  bool ok =
      answered && !crlf && said[0] == "S first" && said[1] == "S  second one" && got == want && status == 0;
  printf("%s replies: status %lu, \"%s\", \"%s\"%s\n", ok ? "ok  " : "FAIL", status, said[0].c_str(),
         said[1].c_str(), crlf ? ", ending in CR LF" : "");
  if (!ok)
    for (const std::string &line : got) printf("  %s\n", line.c_str());
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: windows_test HIDPIPE OBSERVER [--show | --replies]\n");
    return 2;
  }
  bool show = argc > 3 && strcmp(argv[3], "--show") == 0;
  bool replies_alone = argc > 3 && strcmp(argv[3], "--replies") == 0;
  observer o;
  if (!o.start(argv[2])) {
    printf("FAIL: the observer did not come up\n");
    return 1;
  }
  if (replies_alone) return replies(argv[1], o) ? 0 : 1;
  int failed = 0;
  for (const test_case &c : cases)
    if (!run(c, argv[1], o, show)) failed++;
  if (!show && !break_releases(argv[1], o)) failed++;
  if (!show && !replies(argv[1], o)) failed++;
  if (!relative_moves(argv[1], o, show)) failed++;
  printf("%d of %zu cases failed\n", failed, std::size(cases) + 3);
  return failed == 0 ? 0 : 1;
}
