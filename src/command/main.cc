// hidpipe: reads input commands on standard input and posts them as synthetic events.
#include <csignal>

#include "command/command.h"
#include "command/diag.h"
#include "command/options.h"
#include "command/stop.h"

int main(int argc, char **argv) {
  if (int status = read_options(argc, argv); status >= 0) return status;
  // A reader of the diagnostics that goes away must not end the session with keys held.
  if (verbose) signal(SIGPIPE, SIG_IGN);
  catch_stop_signals(0);
  int status = run(0);
  if (stop_signal != 0) die_by(stop_signal);
  return status;
}
