#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command/command.h"
#include "command/diag.h"
#include "command/guardian.h"
#include "emit/post.h"
#include "keyboard/key.h"
#include "pointer/motion.h"

namespace {

// The guardian ends within this after hidpipe has, releases included (the endings' grace and some).
constexpr unsigned bound_s = 3;

// What hidpipe holds, as the guardian sees it: written by hidpipe around every post, read by the
// guardian once hidpipe has ended.
struct held_state {
  uint8_t key_rows[std::size(keys)];
  uint8_t buttons[button_count];
  int32_t x, y;  // where the pointer was put last
  bool positioned;
  bool ended;  // hidpipe ended its session itself: what it could release, it did
};

held_state *page;  // shared with the guardian, or null

// Before a post the page also keeps what the event changes (a release not yet posted still counts
// as held); after it, the page is what is held.
void mirror(bool posted) {
  if (posted) {
    memcpy(page->key_rows, held_keys, sizeof held_keys);
    memcpy(page->buttons, held_buttons, sizeof held_buttons);
  } else {
    for (size_t i = 0; i < std::size(keys); i++) page->key_rows[i] |= held_keys[i];
    for (int b = 0; b < button_count; b++) page->buttons[b] |= held_buttons[b];
  }
  page->x = mouse_x;
  page->y = mouse_y;
  page->positioned = positioned;
}

int count(const uint8_t *flags, size_t n) {
  int held = 0;
  for (size_t i = 0; i < n; i++) held += flags[i] != 0 ? 1 : 0;
  return held;
}

// The guardian's life: waits for hidpipe's end (the end of the pipe only hidpipe writes to), and
// releases what the page says is still held, as hidpipe would have. Keeps none of hidpipe's
// streams or descriptors, so that readers of hidpipe's output see its end when hidpipe ends; with
// verbose, its standard error, to say what it released.
[[noreturn]] void guard(int end, bool say_it) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_IGN);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    if (!say_it) dup2(null, 2);
  }
  // The pipe's end moves to 3, and everything above it goes in one call: closing each possible
  // descriptor in turn took milliseconds, while hidpipe's readers waited for their end of file.
  if (end != 3) {
    dup2(end, 3);
    close(end);
    end = 3;
  }
  if (close_range(4, ~0U, 0) != 0) {
    rlimit files{};
    int top = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                  ? static_cast<int>(files.rlim_cur)
                  : 65536;
    for (int fd = 4; fd < top; fd++) close(fd);
  }
  char c = 0;
  while (read(end, &c, 1) < 0 && errno == EINTR) {
  }
  int keys_held = count(page->key_rows, std::size(keys)), buttons_held = count(page->buttons, button_count);
  if (page->ended || keys_held + buttons_held == 0) _exit(0);
  // A window system that does not take the releases does not keep the guardian: it dies by the
  // alarm.
  alarm(bound_s);
  memcpy(held_keys, page->key_rows, sizeof held_keys);
  memcpy(held_buttons, page->buttons, sizeof held_buttons);
  mouse_x = page->x;
  mouse_y = page->y;
  positioned = page->positioned;
  posting = nullptr;
  // The event log was hidpipe's, and opening it again would truncate it.
  unsetenv("HIDPIPE_SIM_LOG");
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  if (source != nullptr) {
    release_all();
    CFRelease(source);
  }
  if (say_it)
    fprintf(stderr, "hidpipe: the guardian: hidpipe ended without its releases; %s %d keys and %d buttons\n",
            source != nullptr ? "released" : "could not release", keys_held, buttons_held);
  _exit(source != nullptr ? 0 : 1);
}

}  // namespace

void guardian_done() {
  if (page != nullptr) page->ended = true;
}

bool start_guardian(const char **why) {
  const char *setting = getenv("HIDPIPE_GUARDIAN");
  if (setting != nullptr && strcmp(setting, "0") == 0) return true;
  if (setting != nullptr && *setting != '\0' && strcmp(setting, "1") != 0) {
    *why = "HIDPIPE_GUARDIAN: expected 0 (no guardian) or 1";
    return false;
  }
  void *shared = mmap(nullptr, sizeof(held_state), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  int ends[2];
  if (shared == MAP_FAILED || pipe2(ends, O_CLOEXEC) != 0) {
    *why = "the guardian cannot be started (no shared memory or pipe)";
    return false;
  }
  page = static_cast<held_state *>(shared);
  pid_t pid = fork();
  if (pid == 0) {
    close(ends[1]);
    guard(ends[0], verbose);
  }
  close(ends[0]);
  if (pid < 0) {
    close(ends[1]);
    *why = "the guardian cannot be started (fork failed)";
    return false;
  }
  // The write end stays open, unused, until hidpipe ends.
  posting = mirror;
  return true;
}
