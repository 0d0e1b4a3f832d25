// The command line: -h/--help, --version and -v/--verbose. Arguments that are not options are
// ignored, as they always were.
#pragma once

// Reads the arguments in order, setting verbose for -v. Returns -1 when hidpipe is to run;
// otherwise it has printed what was asked for and returns the exit status: 0 after the help or
// the version (on standard output), 2 after a usage error (on standard error).
int read_options(int argc, char **argv);
