#include "command/command.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "command/diag.h"
#include "command/line.h"
#include "command/protocol.h"
#include "command/reply.h"
#include "command/stop.h"
#include "emit/post.h"
#include "keyboard/key.h"
#include "keyboard/text.h"
#include "pointer/button.h"
#include "pointer/motion.h"

namespace {

bool in_range(int32_t v, int32_t low, int32_t high) { return v >= low && v <= high; }

// How long the window system has at the end to take the releases, and the bound past which the
// process ends even if a call into its library never returns.
constexpr unsigned grace_ms = 2000;
constexpr unsigned last_resort_ms = grace_ms + 1000;

// Says why the line about to be handled will do nothing, or that it was cut short.
void explain_line(const char *line, const line_info &info) {
  char why[256];
  unsigned long long n = info.number;
  if (info.cut) say("line %llu: longer than 95 characters; the rest of the line was discarded", n);
  if (explain(line, info.cut, why, sizeof why) != nullptr) say("line %llu: %s", n, why);
}

// Says each remark the platform made on delivering the events of the last command.
void say_notes(const char *where) {
  const char *notes = take_delivery_notes();
  for (const char *p = notes; p != nullptr && *p != '\0';) {
    const char *end = strchr(p, '\n');
    int n = static_cast<int>(end != nullptr ? end - p : static_cast<ptrdiff_t>(strlen(p)));
    say("%s: %.*s", where, n, p);
    p += n + (end != nullptr ? 1 : 0);
  }
}

// Says how many events of the last command could not be made, if any.
void count_unposted(const char *where, uint64_t before) {
  if (unposted == before) return;
  unsigned long long missed = unposted - before;
  say("%s: event creation failed; %llu event%s not posted", where, missed, missed == 1 ? "" : "s");
}

}  // namespace

bool (*pause_wait)(unsigned ms) = pause_for;

void handle(const char *line, bool cut) {
  fields f{};
  int32_t *n = f.num;
  switch (line[0]) {
    case 'M':
      if (scan<"M %d %d">(line, &f) == 2) move(n[0], n[1]);
      break;
    case 'D':
      if (scan<"D %d %d">(line, &f) == 2) move_by(n[0], n[1]);
      break;
    case 'B':
      if (scan<"B %d %d %d %d">(line, &f) == 4 && in_range(n[2], 0, button_count - 1) && in_range(n[3], 0, 1))
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
    case 'S': {
      // Answered once what came before has been taken; not when that cannot be known (the window
      // system is gone, or a stop cut the wait short).
      size_t length = 0;
      bool spaced = false;
      const char *token = sync_token(line, cut, &length, &spaced);
      if (token != nullptr && await_delivery()) reply_sync(token, length, spaced);
      break;
    }
    case 'P':
      if (scan<"P %d">(line, &f) == 1 && in_range(n[0], 0, max_pause_ms))
        pause_wait(static_cast<unsigned>(n[0]));
      break;
    case 'T':
      if (size_t length = 0; const char *text = text_field(line, &length))
        type_text(text, length, text_at_cut(line, text, length, cut));
      break;
    default: break;
  }
}

void release_all() {
  release_keys();
  release_buttons();
}

namespace {

// Releases everything, whatever ended the session, and releases the source: the window system has
// the grace to take the releases; one that is stopped or gone does not keep hidpipe from ending.
// Returns the status, 1 when the releases could not be delivered.
// Input that could not be read (a directory, say) is no end of input: the status says so.
int unread_input(int status) {
  int e = input_error();
  if (e == 0 || status != 0) return status;
  if (verbose) say("cannot read standard input: %s", strerror(e));
  return 1;
}

int end_session(int status) {
  const char *ending = stop_signal != 0 ? "on the stop signal" : "at the end of input";
  bool lost_before = delivery_error != nullptr;
  host_grace(grace_ms);
  host_guard(last_resort_ms,
             "the window system did not take the releases within 3 s; keys or buttons may be left held");
  uint64_t before = unposted;
  release_all();
  if (verbose) count_unposted(ending, before);
  CFRelease(source);
  source = nullptr;
  host_unguard();
  if (verbose) say_notes(ending);
  if (delivery_error != nullptr && !lost_before) {
    if (verbose) say("%s: %s; keys or buttons may be left held", ending, delivery_error);
    status = 1;
  }
  return status;
}

}  // namespace

int run(int fd) {
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  if (source == nullptr) {
    if (verbose) {
      const char *why = delivery_error;
      say("cannot start: %s", why != nullptr ? why : "the event source could not be created");
    }
    return 1;
  }
  if (verbose && backend_note != nullptr) say("%s", backend_note);
  if (verbose && !CGPreflightPostEventAccess())
    say("this process may not post events: they will have no effect until the program that runs hidpipe "
        "is allowed under System Settings > Privacy & Security > Accessibility (macOS 13 and later) or "
        "System Preferences > Security & Privacy > Privacy > Accessibility (macOS 12)");
  int status = 0;
  char line[line_size];
  line_info info{};
  start_lines(fd);
  while (read_line(line, &info) && stop_signal == 0) {
    if (verbose) {
      uint64_t before = unposted;
      const char *lost_before = replies_lost;
      explain_line(line, info);
      handle(line, info.cut);
      char where[32];
      snprintf(where, sizeof where, "line %llu", static_cast<unsigned long long>(info.number));
      count_unposted(where, before);
      say_notes(where);
      if (replies_lost != nullptr && lost_before == nullptr)
        say("%s: S: the reply cannot be written to standard output (%s); this and later replies are lost, "
            "and the session goes on",
            where, replies_lost);
    } else {
      handle(line, info.cut);
    }
    // A window system that went away cannot receive the rest of the session: say so by the status.
    if (delivery_error != nullptr) {
      if (verbose)
        say("line %llu: %s; ending with status 1", static_cast<unsigned long long>(info.number),
            delivery_error);
      status = 1;
      break;
    }
  }
  return end_session(unread_input(status));
}
