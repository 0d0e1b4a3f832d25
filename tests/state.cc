#include "state.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "command/line.h"
#include "command/protocol.h"
#include "keyboard/key.h"
#include "pointer/button.h"
#include "pointer/motion.h"

namespace {

// The flag of a modifier's virtual key, or 0.
CGEventFlags modifier_of(CGKeyCode code) {
  switch (code) {
    case 54:
    case 55: return kCGEventFlagMaskCommand;
    case 56:
    case 60: return kCGEventFlagMaskShift;
    case 58:
    case 61: return kCGEventFlagMaskAlternate;
    case 59:
    case 62: return kCGEventFlagMaskControl;
    default: return 0;
  }
}

// What the posted events have pressed so far, as a window server would see it.
struct pressed {
  bool key[128];   // per virtual key
  bool button[5];  // per platform button
  bool typing;     // a key-down with text was posted, its key-up not yet
};

const char *check_key(const cg_record &r, pressed &down) {
  // Typed text presses no key of its own: a key-down and a key-up carrying the same text.
  if (r.text_length > 0) {
    if (r.keycode != 0 || r.type != (r.down ? kCGEventKeyDown : kCGEventKeyUp)) return "wrong text event";
    if (r.down == down.typing) return "text events unpaired";
    down.typing = r.down;
    return nullptr;
  }
  if (down.typing) return "text key-down without its key-up";
  if (r.keycode >= 128) return "key code out of range";
  if (!r.down && !down.key[r.keycode]) return "key released that was not down";
  down.key[r.keycode] = r.down;
  CGEventType plain = r.down ? kCGEventKeyDown : kCGEventKeyUp;
  if (r.type != (modifier_of(r.keycode) != 0 ? kCGEventFlagsChanged : plain)) return "wrong key event type";
  return nullptr;
}

const char *check_button(const cg_record &r, pressed &down) {
  unsigned b = r.button;
  if (b > 4) return "unknown button";
  bool press =
      r.type == kCGEventLeftMouseDown || r.type == kCGEventRightMouseDown || r.type == kCGEventOtherMouseDown;
  bool release =
      r.type == kCGEventLeftMouseUp || r.type == kCGEventRightMouseUp || r.type == kCGEventOtherMouseUp;
  if (press && down.button[b]) return "button pressed while down";
  if (!press && !down.button[b]) return "drag or release of a button that is not down";
  if (press || release) {
    down.button[b] = press;
    if (r.click < 1 || r.click > 3) return "click state outside 1..3";
  }
  return nullptr;
}

CGEventFlags modifiers_down(const pressed &down) {
  CGEventFlags mask = 0;
  for (CGKeyCode code = 0; code < 128; code++)
    if (down.key[code]) mask |= modifier_of(code);
  return mask;
}

}  // namespace

std::string check_posts(const cg_record *posts, size_t count) {
  pressed down{};
  for (size_t i = 0; i < count; i++) {
    const cg_record &r = posts[i];
    const char *broken = nullptr;
    if (r.tap != kCGHIDEventTap) broken = "posted elsewhere than the HID tap";
    if (broken == nullptr && r.kind == cg_keyboard) broken = check_key(r, down);
    if (broken == nullptr && r.kind == cg_mouse && r.type != kCGEventMouseMoved)
      broken = check_button(r, down);
    if (broken == nullptr && r.flags != modifiers_down(down)) broken = "flags differ from the modifiers down";
    if (broken != nullptr) return "event " + std::to_string(i) + ": " + broken;
  }
  pressed none{};
  if (memcmp(&down, &none, sizeof down) != 0) return "key or button left down at the end";
  return {};
}

std::vector<std::string> reference_lines(const std::string &text) {
  std::vector<std::string> lines;
  // fmemopen refuses an empty buffer, which has no lines anyway.
  FILE *in = text.empty() ? nullptr : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
  if (in == nullptr) return lines;
  char line[96];
  for (;;) {
    memset(line, 0xAA, sizeof line);
    if (fgets(line, sizeof line, in) == nullptr) break;
    // A full buffer without its newline: the line was 95 characters or more, and its rest up to
    // the newline goes. Only a line with more than 95 characters before its newline was cut.
    bool full = line[95] == '\0' && line[94] != '\n';
    std::string entry(line, sizeof line);
    if (full) {
      int c = getc(in);
      bool cut = c != EOF && c != '\n';
      while (c != EOF && c != '\n') c = getc(in);
      if (cut) entry += '+';
    }
    lines.push_back(entry);
  }
  fclose(in);
  return lines;
}

std::vector<std::string> reader_lines(int fd) {
  std::vector<std::string> lines;
  start_lines(fd);
  char line[line_size];
  line_info info{};
  for (;;) {
    memset(line, 0xAA, sizeof line);
    if (!read_line(line, &info)) break;
    std::string entry(line, sizeof line);
    if (info.cut) entry += '+';
    lines.push_back(entry);
  }
  return lines;
}

int text_input(const std::string &text) {
#ifdef __linux__
  int fd = memfd_create("hidpipe-input", MFD_CLOEXEC);
#else
  FILE *f = tmpfile();
  int fd = f == nullptr ? -1 : dup(fileno(f));
  if (f != nullptr) fclose(f);
#endif
  if (fd < 0) return -1;
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

void reset_program() {
  memset(held_keys, 0, sizeof held_keys);
  mouse_x = mouse_y = 0;
  positioned = false;
  memset(held_buttons, 0, sizeof held_buttons);
  for (int b = 0; b < button_count; b++) {
    click_x[b] = click_y[b] = 0;
    clicked[b] = 0;
    click_count[b] = 0;
  }
}

bool numbers_fit(const std::string &line) {
  for (size_t i = 0; i < line.size();) {
    if (line[i] < '0' || line[i] > '9') {
      i++;
      continue;
    }
    while (i < line.size() && line[i] == '0') i++;
    size_t start = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') i++;
    if (i - start > 10 || (i - start == 10 && line.compare(start, 10, "2147483647") > 0)) return false;
  }
  return true;
}

namespace {

// Compares the reader with sscanf for one format.
template <format F>
std::string compare_format(const char *line) {
  fields ours{};
  int v[4] = {};
  char name[32] = {};
  bool keyed = F.text[0] == 'K';
  int theirs = keyed ? sscanf(line, F.text, name, &v[0]) : sscanf(line, F.text, &v[0], &v[1], &v[2], &v[3]);
  if (theirs == EOF) theirs = 0;  // input ended before the first field: none read
  int read = scan<F>(line, &ours);
  std::string where = std::string("format \"") + F.text + "\": ";
  if (read != theirs)
    return where + "read " + std::to_string(read) + " fields, sscanf " + std::to_string(theirs);
  if (keyed && read >= 1 && strcmp(ours.name, name) != 0) return where + "name differs";
  for (int i = 0; i < (keyed ? read - 1 : read); i++)
    if (ours.num[i] != v[i]) return where + "field " + std::to_string(i) + " differs";
  return {};
}

}  // namespace

std::string compare_with_sscanf(const char *line) {
  for (std::string d : {compare_format<"M %d %d">(line), compare_format<"B %d %d %d %d">(line),
                        compare_format<"W %d %d %d %d">(line), compare_format<"K %31s %d">(line)})
    if (!d.empty()) return d;
  return {};
}
