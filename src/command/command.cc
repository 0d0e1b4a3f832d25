#include "command/command.h"

#include "command/protocol.h"
#include "keyboard/key.h"
#include "pointer/button.h"
#include "pointer/motion.h"

CGEventSourceRef source;

namespace {

// A line of 95 characters plus its terminating zero.
constexpr int line_size = 96;

// Discards input up to and including the next newline.
void skip_line(FILE *in) {
  int c = 0;
  do c = getc(in);
  while (c != EOF && c != '\n');
}

// Reads one line into line. Of a line longer than 95 characters only the first 95 are kept; the
// rest is discarded so that text inside a line never runs as commands of its own.
bool read_line(char (&line)[line_size], FILE *in) {
  // fgets writes its terminator into the last byte only when it filled the buffer; counting on
  // that, rather than on strlen, keeps NUL bytes in the line from hiding an over-long one.
  line[line_size - 1] = 1;
  if (fgets(line, line_size, in) == nullptr) return false;
  if (line[line_size - 1] == '\0' && line[line_size - 2] != '\n') skip_line(in);
  return true;
}

bool in_range(int32_t v, int32_t low, int32_t high) { return v >= low && v <= high; }

}  // namespace

void handle(const char *line) {
  fields f{};
  int32_t *n = f.num;
  switch (line[0]) {
    case 'M':
      if (scan<"M %d %d">(line, &f) == 2) move(n[0], n[1]);
      break;
    case 'B':
      if (scan<"B %d %d %d %d">(line, &f) == 4 && in_range(n[2], 0, 2) && in_range(n[3], 0, 1))
        button(n[0], n[1], n[2], n[3]);
      break;
    case 'W':
      if (scan<"W %d %d %d %d">(line, &f) == 4 && in_range(n[2], -1000, 1000) && in_range(n[3], -1000, 1000))
        wheel(n[0], n[1], n[2], n[3]);
      break;
    case 'K':
      if (scan<"K %31s %d">(line, &f) == 2 && in_range(n[0], 0, 1)) key(f.name, n[0]);
      break;
    case 'R': release_all(); break;
    default: break;
  }
}

void release_all() {
  release_keys();
  release_buttons();
}

int run(FILE *in) {
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  if (source == nullptr) return 1;
  char line[line_size];
  while (read_line(line, in)) handle(line);
  release_all();
  CFRelease(source);
  source = nullptr;
  return 0;
}
