#include "command/command.h"

#include "command/protocol.h"
#include "keyboard/key.h"

CGEventSourceRef source;

namespace {

// A line of 95 characters plus its terminating zero.
constexpr int line_size = 96;

// Discards input up to and including the next newline.
void skip_line(FILE *in) {
  int c;
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
  fields f;
  switch (line[0]) {
    case 'M':
      scan(line, "M %d %d", &f);
      break;
    case 'B':
      if (scan(line, "B %d %d %d %d", &f) == 4 && in_range(f.num[2], 0, 2) && in_range(f.num[3], 0, 1)) {
      }
      break;
    case 'W':
      if (scan(line, "W %d %d %d %d", &f) == 4 && in_range(f.num[2], -1000, 1000) &&
          in_range(f.num[3], -1000, 1000)) {
      }
      break;
    case 'K':
      if (scan(line, "K %31s %d", &f) == 2 && in_range(f.num[0], 0, 1)) key(f.name, f.num[0]);
      break;
    case 'R':
      release_all();
      break;
    default:
      break;
  }
}

void release_all() { release_keys(); }

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
