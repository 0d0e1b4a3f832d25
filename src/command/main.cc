// hidpipe: reads input commands on standard input and posts them as synthetic events.
#include "command/command.h"
#include "command/diag.h"
#include "command/guardian.h"
#include "command/options.h"
#include "command/stop.h"
#include "emit/platform.h"

int main(int argc, char **argv) {
  fill_standard_streams();
  if (int status = read_options(argc, argv); status >= 0) return status;
  host_verbose = verbose;
  prepare_streams(0, verbose);
  catch_stop_signals(0);
  if (const char *why = nullptr; !start_guardian(&why)) {
    if (verbose) say("cannot start: %s", why);
    return 1;
  }
  int status = run(0);
  guardian_done();
  if (stop_signal != 0) die_by(stop_signal);
  return status;
}
