// Feeds arbitrary bytes to the command loop as its whole input, with the platform recording, and
// checks what no input may break: exit status 0; the posted events pass check_posts (modifier flags
// only, nothing released that was not pressed, nothing left down); nothing held in the program at
// the end; no platform object left alive. Then it handles the same lines one by one and checks
// that --verbose's explanation agrees with what each line does: a line explained as doing nothing
// posts nothing and changes nothing, and every other line but R, S and P posts (P pauses no time
// here, and S's replies go to /dev/null). Last, the line reader must
// cut the input into the same lines as fgets with a 96-byte buffer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command/command.h"
#include "command/diag.h"
#include "command/line.h"
#include "command/reply.h"
#include "emit/post.h"
#include "keyboard/key.h"
#include "pointer/button.h"
#include "pointer/motion.h"
#include "quartz/cg_control.h"
#include "state.h"

namespace {

[[noreturn]] void fault(const std::string &what) {
  fprintf(stderr, "invariant broken: %s\n", what.c_str());
  abort();
}

// Everything a line could change in the program.
struct snapshot {
  uint8_t held[std::size(held_keys)];
  uint8_t buttons[button_count];
  int32_t x, y;
  bool placed;
  uint32_t counts[button_count];
  bool operator==(const snapshot &) const = default;
};

snapshot take_snapshot() {
  snapshot s{};
  memcpy(s.held, held_keys, sizeof s.held);
  memcpy(s.buttons, held_buttons, sizeof s.buttons);
  s.x = mouse_x;
  s.y = mouse_y;
  s.placed = positioned;
  memcpy(s.counts, click_count, sizeof s.counts);
  return s;
}

void check_explanations(const std::string &input) {
  cg_reset();
  reset_program();
  cg_record_posts(true);
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  int in = text_input(input);
  if (in < 0) abort();
  start_lines(in);
  char line[line_size];
  line_info info{};
  while (read_line(line, &info)) {
    char why[256];
    bool idle = explain(line, info.cut, why, sizeof why) != nullptr;
    snapshot before = take_snapshot();
    size_t posted = cg_post_count();
    handle(line, info.cut);
    bool posts = cg_post_count() > posted;
    if (idle && (posts || !(take_snapshot() == before)))
      fault("line " + std::to_string(info.number) + " acted, yet was explained: " + why);
    bool quiet = line[0] == 'R' || line[0] == 'S' || line[0] == 'P';
    if (!idle && !posts && !quiet) fault("line " + std::to_string(info.number) + " did nothing unexplained");
  }
  close(in);
  release_all();
  CFRelease(source);
  source = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The log and the recording alone: no desktop receives what the fuzzer makes up.
  static const bool no_backend = setenv("HIDPIPE_BACKEND", "none", 1) == 0;
  (void)no_backend;
  // A P line waits no time and S's replies go nowhere: the fuzzer runs thousands of inputs a second.
  static const bool no_waits = [] {
    pause_wait = [](unsigned /*ms*/) { return true; };
    reply_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    return true;
  }();
  (void)no_waits;
  std::string input(reinterpret_cast<const char *>(data), size);
  cg_reset();
  reset_program();
  cg_record_posts(true);
  int in = text_input(input);
  if (in < 0) abort();
  int status = run(in);
  close(in);
  if (status != 0) fault("exit status not 0");
  if (std::string broken = check_posts(cg_posts(), cg_post_count()); !broken.empty()) fault(broken);
  for (uint8_t held : held_keys)
    if (held != 0) fault("program still holds a key");
  for (uint8_t held : held_buttons)
    if (held != 0) fault("program still holds a button");
  if (cg_live() != 0) fault("platform object alive after exit");
  check_explanations(input);
  in = text_input(input);
  if (reader_lines(in) != reference_lines(input)) fault("the line reader cuts lines unlike fgets");
  close(in);
  return 0;
}
