#include "fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "command/command.h"
#include "emit/post.h"

extern char **environ;

namespace {

// These tests post to the log and the recording alone: a backend chosen from the developer's
// session (DISPLAY, WAYLAND_DISPLAY, a writable /dev/uinput) would send their keys and clicks to
// the developer's desktop.
const bool no_backend =
    unsetenv("DISPLAY") == 0 && unsetenv("WAYLAND_DISPLAY") == 0 && setenv("HIDPIPE_BACKEND", "none", 1) == 0;

}  // namespace

void program::SetUp() {
  cg_reset();
  reset_program();
  cg_record_posts(true);
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  ASSERT_NE(source, nullptr);
}

void program::TearDown() {
  if (source != nullptr) CFRelease(source);
  source = nullptr;
  EXPECT_EQ(cg_live(), 0) << "platform objects leaked";
  cg_reset();
}

std::vector<cg_record> program::take() {
  std::vector<cg_record> v(cg_posts(), cg_posts() + cg_post_count());
  cg_clear_posts();
  return v;
}

std::vector<std::string> program::take_text() {
  std::vector<std::string> v;
  for (const cg_record &r : take()) v.push_back(describe(r));
  return v;
}

void handle_lines(const std::string &text) {
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    handle(text.substr(start, end - start).c_str());
    start = end;
  }
}

std::string utf8_of(const UniChar *units, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; i++) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count)
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00u);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
      out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
              static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      out += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
              static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
  }
  return out;
}

namespace {

// Reads the JSON string at p (after its opening quote) as written by the log into UTF-16 units;
// returns the position after its closing quote, or null when it is not such a string.
const char *read_json_text(const char *p, cg_record *r) {
  size_t n = 0;
  auto put = [&](uint32_t c) {
    if (c >= 0x10000) {
      if (n + 2 > std::size(r->text)) return false;
      r->text[n++] = static_cast<UniChar>(0xD800 + ((c - 0x10000) >> 10));
      r->text[n++] = static_cast<UniChar>(0xDC00 + ((c - 0x10000) & 0x3FF));
      return true;
    }
    if (n + 1 > std::size(r->text)) return false;
    r->text[n++] = static_cast<UniChar>(c);
    return true;
  };
  while (*p != '"') {
    uint32_t c = static_cast<unsigned char>(*p);
    if (c == 0) return nullptr;
    if (c == '\\') {
      static const char shorts[] = "\"\"\\\\b\bt\tn\nf\fr\r";
      const char *s = strchr(shorts, p[1]);
      unsigned u = 0;
      if (p[1] == 'u' && sscanf(p + 2, "%4x", &u) == 1) {
        c = u;
        p += 6;
      } else if (s != nullptr && (s - shorts) % 2 == 0 && p[1] != '\0') {
        c = static_cast<unsigned char>(s[1]);
        p += 2;
      } else {
        return nullptr;
      }
    } else if (c >= 0x80) {
      int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
      c &= extra == 3 ? 0x07u : extra == 2 ? 0x0Fu : 0x1Fu;
      for (int i = 1; i <= extra; i++) c = (c << 6) | (static_cast<unsigned char>(p[i]) & 0x3Fu);
      p += extra + 1;
    } else {
      p++;
    }
    if (!put(c)) return nullptr;
  }
  r->text_length = static_cast<uint8_t>(n);
  return p + 1;
}

}  // namespace

std::string describe(const cg_record &r) {
  static const std::pair<CGEventType, const char *> types[] = {
      {kCGEventLeftMouseDown, "left-down"},
      {kCGEventLeftMouseUp, "left-up"},
      {kCGEventRightMouseDown, "right-down"},
      {kCGEventRightMouseUp, "right-up"},
      {kCGEventMouseMoved, "moved"},
      {kCGEventLeftMouseDragged, "left-dragged"},
      {kCGEventRightMouseDragged, "right-dragged"},
      {kCGEventKeyDown, "key-down"},
      {kCGEventKeyUp, "key-up"},
      {kCGEventFlagsChanged, "flags-changed"},
      {kCGEventScrollWheel, "scroll"},
      {kCGEventOtherMouseDown, "other-down"},
      {kCGEventOtherMouseUp, "other-up"},
      {kCGEventOtherMouseDragged, "other-dragged"},
  };
  std::string s = "type" + std::to_string(r.type);
  for (auto [type, name] : types)
    if (type == r.type) s = name;
  char buf[96];
  switch (r.kind) {
    case cg_mouse:
      snprintf(buf, sizeof buf, " %.17g,%.17g b%u c%lld", r.at.x, r.at.y, static_cast<unsigned>(r.button),
               static_cast<long long>(r.click));
      if (r.relative) {
        s += buf;
        snprintf(buf, sizeof buf, " d%lld,%lld", static_cast<long long>(r.delta[0]),
                 static_cast<long long>(r.delta[1]));
      }
      break;
    case cg_scroll: snprintf(buf, sizeof buf, " %d,%d", r.wheel[0], r.wheel[1]); break;
    case cg_keyboard: snprintf(buf, sizeof buf, " %u", static_cast<unsigned>(r.keycode)); break;
  }
  s += buf;
  if (r.text_length > 0) s += " \"" + utf8_of(r.text, r.text_length) + "\"";
  static const std::pair<CGEventFlags, const char *> masks[] = {{kCGEventFlagMaskShift, "shift"},
                                                                {kCGEventFlagMaskControl, "ctrl"},
                                                                {kCGEventFlagMaskAlternate, "alt"},
                                                                {kCGEventFlagMaskCommand, "cmd"}};
  CGEventFlags rest = r.flags;
  for (auto [mask, name] : masks) {
    if ((r.flags & mask) == 0) continue;
    s += std::string(" ") + name;
    rest &= ~mask;
  }
  if (rest != 0) s += " flags" + std::to_string(rest);
  return s;
}

bool parse_log_line(const std::string &line, cg_record *r) {
  *r = {};
  unsigned tap = 0, type = 0, button = 0, code = 0, unit = 0;
  unsigned long long flags = 0;
  long long click = 0;
  int end = -1;
  const char *l = line.c_str();
  int text_at = -1;
  if (sscanf(l, R"({"tap":%u,"type":%u,"flags":%llu,"keycode":%u}%n)", &tap, &type, &flags, &code, &end) ==
          4 &&
      end > 0) {
    r->kind = cg_keyboard;
    r->keycode = static_cast<CGKeyCode>(code);
  } else if (sscanf(l, R"({"tap":%u,"type":%u,"flags":%llu,"keycode":%u,"text":"%n)", &tap, &type, &flags,
                    &code, &text_at) == 4 &&
             text_at > 0) {
    r->kind = cg_keyboard;
    r->keycode = static_cast<CGKeyCode>(code);
    const char *after = read_json_text(l + text_at, r);
    if (after != nullptr && strcmp(after, "}") == 0) end = static_cast<int>(line.size());
  } else if (sscanf(l, R"({"tap":%u,"type":%u,"flags":%llu,"x":%lf,"y":%lf,"button":%u,"click":%lld}%n)",
                    &tap, &type, &flags, &r->at.x, &r->at.y, &button, &click, &end) == 7 &&
             end > 0) {
    r->kind = cg_mouse;
    r->button = static_cast<CGMouseButton>(button);
    r->click = click;
  } else if (
      long long dx = 0, dy = 0;
      sscanf(
          l,
          R"({"tap":%u,"type":%u,"flags":%llu,"x":%lf,"y":%lf,"button":%u,"click":%lld,"dx":%lld,"dy":%lld}%n)",
          &tap, &type, &flags, &r->at.x, &r->at.y, &button, &click, &dx, &dy, &end) == 9) {
    r->kind = cg_mouse;
    r->button = static_cast<CGMouseButton>(button);
    r->click = click;
    r->relative = true;
    r->delta[0] = dx;
    r->delta[1] = dy;
  } else if (sscanf(l, R"({"tap":%u,"type":%u,"flags":%llu,"unit":%u,"wheels":%u,"wheel1":%d,"wheel2":%d}%n)",
                    &tap, &type, &flags, &unit, &r->wheels, &r->wheel[0], &r->wheel[1], &end) == 7) {
    r->kind = cg_scroll;
    r->unit = static_cast<CGScrollEventUnit>(unit);
  }
  r->tap = static_cast<CGEventTapLocation>(tap);
  r->type = static_cast<CGEventType>(type);
  r->flags = flags;
  return end == static_cast<int>(line.size());
}

int run_text(const std::string &text) {
  int in = text_input(text);
  if (in < 0) return -1;
  int status = run(in);
  close(in);
  return status;
}

namespace {

std::string temp_file(const std::string &contents) {
  char name[] = "/tmp/hidpipe-test-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return {};
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return name;
}

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace

live_process::live_process(const launch &how) {
  out_ = temp_file("");
  err_ = temp_file("");
  log_ = how.log_on_stderr ? err_ : temp_file("stale line from an earlier run\n");
  int stdin_fd = how.stdin_fd;
  int fds[2] = {-1, -1};
  if (stdin_fd < 0) {
    if (pipe(fds) != 0) return;
    // The writing end must not leak into the child, or its input would never end.
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    stdin_fd = fds[0];
    input_ = fds[1];
  }

  // The first setting of a name wins: extra before the log and the backend, all before the
  // inherited ones; the session's DISPLAY and WAYLAND_DISPLAY are never passed on, and the backend
  // is none unless extra names one.
  std::vector<std::string> env = how.env;
  env.push_back("HIDPIPE_SIM_LOG=" + log_);
  env.emplace_back("HIDPIPE_BACKEND=none");
  for (char **e = environ; *e != nullptr; e++)
    if (strncmp(*e, "HIDPIPE_", 8) != 0 && strncmp(*e, "DISPLAY=", 8) != 0 &&
        strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0)
      env.emplace_back(*e);
  std::vector<char *> envp;
  for (std::string &v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = {"hidpipe"};
  words.insert(words.end(), how.args.begin(), how.args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
  int out_fds[2] = {-1, -1};
  if (how.replies_piped && pipe(out_fds) == 0) {
    fcntl(out_fds[0], F_SETFD, FD_CLOEXEC);
    replies_ = out_fds[0];
  }
  if (how.outputs_closed || how.output_closed) {
    posix_spawn_file_actions_addclose(&actions, 1);
    if (how.outputs_closed)
      posix_spawn_file_actions_addclose(&actions, 2);
    else
      posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_TRUNC, 0);
  } else if (replies_ >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_TRUNC, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_TRUNC, 0);
  }
  // The stop signals as a terminal's foreground process has them, whatever the test runner set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (posix_spawn(&pid_, HIDPIPE_BINARY, &actions, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (fds[0] >= 0) close(fds[0]);
  if (out_fds[1] >= 0) close(out_fds[1]);
}

live_process::~live_process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (input_ >= 0) close(input_);
  if (replies_ >= 0) close(replies_);
  for (const std::string &p : {out_, err_, log_}) unlink(p.c_str());
}

std::optional<std::string> live_process::read_reply(int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (size_t newline = pending_.find('\n'); newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{replies_, POLLIN, 0};
    if (replies_ < 0 || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
      return std::nullopt;
    char buf[4096];
    ssize_t n = read(replies_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

void live_process::close_replies() {
  if (replies_ >= 0) close(replies_);
  replies_ = -1;
}

bool live_process::ended(int timeout_ms) {
  for (int waited = 0; pid_ > 0; waited += 5) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      wait_status_ = status;
      pid_ = -1;
      return true;
    }
    if (waited >= timeout_ms) return false;
    usleep(5000);
  }
  return wait_status_ != -1;
}

bool live_process::write(const std::string &text) {
  // A reader that has gone makes the write fail rather than end the test by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  for (size_t done = 0; done < text.size();) {
    ssize_t n = ::write(input_, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::vector<std::string> live_process::log() const {
  std::vector<std::string> lines;
  std::istringstream log(slurp(log_));
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

bool live_process::wait_log(size_t lines, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 5) {
    // Event lines only: the file starts out with a stale line, until hidpipe truncates it.
    size_t events = 0;
    for (const std::string &line : log()) events += line.starts_with('{') ? 1 : 0;
    if (events >= lines) return true;
    usleep(5000);
  }
  return false;
}

void live_process::send(int sig) { kill(pid_, sig); }

void live_process::close_input() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

process_result live_process::finish(int timeout_ms) {
  process_result r{-1, 0, {}, {}, {}, -1};
  close_input();
  if (ended(timeout_ms)) {
    if (WIFEXITED(wait_status_)) r.status = WEXITSTATUS(wait_status_);
    if (WIFSIGNALED(wait_status_)) r.signal = WTERMSIG(wait_status_);
  } else if (pid_ > 0) {
    // A hidpipe that does not end is a fault the test reports: status -1, no signal.
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  r.out = slurp(out_);
  if (replies_ >= 0) {
    // What came after the replies taken, up to the end: the binary has ended, so the pipe ends.
    char buf[4096];
    for (ssize_t n; (n = read(replies_, buf, sizeof buf)) > 0;) pending_.append(buf, static_cast<size_t>(n));
    r.out = pending_;
    pending_.clear();
  }
  r.err = slurp(err_);
  r.log = log();
  return r;
}

process_result run_binary(const std::string &input, const std::vector<std::string> &extra,
                          const std::vector<std::string> &args) {
  std::string in_path = temp_file(input);
  int in = open(in_path.c_str(), O_RDONLY);
  live_process p({.env = extra, .args = args, .stdin_fd = in});
  process_result r = p.finish();
  // The child shared this descriptor's offset: it tells how much input was read.
  r.consumed = lseek(in, 0, SEEK_CUR);
  close(in);
  unlink(in_path.c_str());
  return r;
}

process_result run_binary_paced(const std::vector<paced_chunk> &chunks) {
  live_process p;
  for (const paced_chunk &c : chunks) {
    usleep(static_cast<useconds_t>(c.pause_ms) * 1000);
    if (!p.write(c.text)) break;
  }
  return p.finish();
}
