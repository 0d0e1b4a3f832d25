// Feeds arbitrary bytes to the command loop as its whole input, with the stand-in recording, and
// checks what no input may break: exit status 0; the posted events pass check_posts (modifier flags
// only, nothing released that was not pressed, nothing left down); nothing held in the program at
// the end; no platform object left alive.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command/command.h"
#include "keyboard/key.h"
#include "pointer/motion.h"
#include "sim.h"
#include "state.h"

namespace {

[[noreturn]] void fault(const std::string &what) {
  fprintf(stderr, "invariant broken: %s\n", what.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  sim_reset();
  reset_program();
  sim_record_posts(true);
  // fmemopen refuses an empty buffer; /dev/null is the same input.
  FILE *in = size == 0 ? fopen("/dev/null", "r") : fmemopen(const_cast<uint8_t *>(data), size, "r");
  if (in == nullptr) abort();
  int status = run(in);
  fclose(in);
  if (status != 0) fault("exit status not 0");
  if (std::string broken = check_posts(sim_posts(), sim_post_count()); !broken.empty()) fault(broken);
  for (uint8_t held : held_keys)
    if (held != 0) fault("program still holds a key");
  for (uint8_t held : held_buttons)
    if (held != 0) fault("program still holds a button");
  if (sim_live() != 0) fault("platform object alive after exit");
  return 0;
}
