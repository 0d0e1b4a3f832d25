#include "command/options.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "command/diag.h"

#ifndef HIDPIPE_VERSION
#define HIDPIPE_VERSION "unknown"
#endif

namespace {

constexpr char usage[] = "usage: hidpipe [-hv] [--help] [--version] [--verbose]\n";

constexpr char help[] =
    "\n"
    "Reads commands on standard input, one per line, and posts them as keyboard and mouse events:\n"
    "  M x y         move the pointer to (x, y)\n"
    "  D dx dy       move the pointer by (dx, dy) from wherever it is, for pointer-locked programs\n"
    "  B x y b down  press (down 1) or release (0) button b at (x, y): 0 left, 1 middle, 2 right,\n"
    "                3 back, 4 forward\n"
    "  W x y dx dy   scroll by dx, dy pixels at (x, y), each -1000 to 1000; positive is right, down\n"
    "  K name down   press (1) or release (0) a key by its KeyboardEvent code: KeyA, ShiftLeft, ...\n"
    "  T text        type the rest of the line as UTF-8 text, whatever the keyboard layout\n"
    "  R             release every held key, then every held button\n"
    "  S [token]     once everything before has been delivered, write S and the token to standard\n"
    "                output\n"
    "  P ms          wait ms milliseconds (0 to 60000) before reading on\n"
    "Invalid lines are ignored. When the input ends, or on SIGINT, SIGTERM or SIGHUP, everything\n"
    "still held is released.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "  -v, --verbose  say on standard error why a line did nothing, or why hidpipe cannot start\n"
    "\n"
    "The manual: man hidpipe\n";

void put(int fd, const char *text) {
  for (size_t n = strlen(text); n > 0;) {
    ssize_t w = write(fd, text, static_cast<unsigned>(n));  // short: Windows' write takes an unsigned
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    text += w;
    n -= static_cast<size_t>(w);
  }
}

int usage_error(const char *what, const char *arg) {
  put(2, "hidpipe: ");
  put(2, what);
  put(2, " '");
  put(2, arg);
  put(2, "'\n");
  put(2, usage);
  return 2;
}

}  // namespace

int read_options(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    // "--" ends the options; "-" and words are operands, which hidpipe ignores.
    if (strcmp(arg, "--") == 0) break;
    if (arg[0] != '-' || arg[1] == '\0') continue;
    if (arg[1] == '-') {
      if (strcmp(arg, "--help") == 0) {
        put(1, usage);
        put(1, help);
        return 0;
      }
      if (strcmp(arg, "--version") == 0) {
        put(1, "hidpipe " HIDPIPE_VERSION "\n");
        return 0;
      }
      if (strcmp(arg, "--verbose") != 0) return usage_error("unknown option", arg);
      verbose = true;
      continue;
    }
    // Short options may be grouped: -vh.
    for (const char *o = arg + 1; *o != '\0'; o++) {
      if (*o == 'h') {
        put(1, usage);
        put(1, help);
        return 0;
      }
      if (*o != 'v') {
        char one[3] = {'-', *o, '\0'};
        return usage_error("unknown option", one);
      }
      verbose = true;
    }
  }
  return -1;
}
