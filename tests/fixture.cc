#include "fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "command/command.h"

extern char **environ;

namespace {

// These tests drive the stand-in alone: a DISPLAY from the developer's session would send their
// keys and clicks to the developer's desktop.
const bool display_unset = unsetenv("DISPLAY") == 0;

}  // namespace

void program::SetUp() {
  sim_reset();
  reset_program();
  sim_record_posts(true);
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  ASSERT_NE(source, nullptr);
}

void program::TearDown() {
  if (source != nullptr) CFRelease(source);
  source = nullptr;
  EXPECT_EQ(sim_live(), 0) << "platform objects leaked";
  sim_reset();
}

std::vector<sim_record> program::take() {
  std::vector<sim_record> v(sim_posts(), sim_posts() + sim_post_count());
  sim_clear_posts();
  return v;
}

std::vector<std::string> program::take_text() {
  std::vector<std::string> v;
  for (const sim_record &r : take()) v.push_back(describe(r));
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

std::string describe(const sim_record &r) {
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
    case sim_mouse:
      snprintf(buf, sizeof buf, " %.17g,%.17g b%u c%lld", r.at.x, r.at.y, static_cast<unsigned>(r.button),
               static_cast<long long>(r.click));
      break;
    case sim_scroll: snprintf(buf, sizeof buf, " %d,%d", r.wheel[0], r.wheel[1]); break;
    case sim_keyboard: snprintf(buf, sizeof buf, " %u", static_cast<unsigned>(r.keycode)); break;
  }
  s += buf;
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

bool parse_log_line(const std::string &line, sim_record *r) {
  *r = {};
  unsigned tap = 0, type = 0, button = 0, code = 0, unit = 0;
  unsigned long long flags = 0;
  long long click = 0;
  int end = -1;
  const char *l = line.c_str();
  if (sscanf(l, R"({"tap":%u,"type":%u,"flags":%llu,"keycode":%u}%n)", &tap, &type, &flags, &code, &end) ==
      4) {
    r->kind = sim_keyboard;
    r->keycode = static_cast<CGKeyCode>(code);
  } else if (sscanf(l, R"({"tap":%u,"type":%u,"flags":%llu,"x":%lf,"y":%lf,"button":%u,"click":%lld}%n)",
                    &tap, &type, &flags, &r->at.x, &r->at.y, &button, &click, &end) == 7) {
    r->kind = sim_mouse;
    r->button = static_cast<CGMouseButton>(button);
    r->click = click;
  } else if (sscanf(l, R"({"tap":%u,"type":%u,"flags":%llu,"unit":%u,"wheels":%u,"wheel1":%d,"wheel2":%d}%n)",
                    &tap, &type, &flags, &unit, &r->wheels, &r->wheel[0], &r->wheel[1], &end) == 7) {
    r->kind = sim_scroll;
    r->unit = static_cast<CGScrollEventUnit>(unit);
  }
  r->tap = static_cast<CGEventTapLocation>(tap);
  r->type = static_cast<CGEventType>(type);
  r->flags = flags;
  return end == static_cast<int>(line.size());
}

int run_text(const std::string &text) {
  // fmemopen refuses an empty buffer; /dev/null is the same input.
  FILE *in =
      text.empty() ? fopen("/dev/null", "r") : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
  if (in == nullptr) return -1;
  int status = run(in);
  fclose(in);
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

namespace {

// Starts the binary with stdin_fd as its standard input, output to temporary files and the log in
// another; feed writes its input, if it is a pipe. Collects the results once it has exited.
template <typename Feed>
process_result spawn(int stdin_fd, const std::vector<std::string> &extra, Feed feed) {
  process_result r{-1, {}, {}, {}, -1};
  std::string out_path = temp_file(""), err_path = temp_file("");
  std::string log_path = temp_file("stale line from an earlier run\n");

  // The first setting of a name wins: extra before the log, both before the inherited ones; an
  // inherited DISPLAY is never passed on.
  std::vector<std::string> env = extra;
  env.push_back("HIDPIPE_SIM_LOG=" + log_path);
  for (char **e = environ; *e != nullptr; e++)
    if (strncmp(*e, "HIDPIPE_", 8) != 0 && strncmp(*e, "DISPLAY=", 8) != 0) env.emplace_back(*e);
  std::vector<char *> envp;
  for (std::string &s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_TRUNC, 0);
  char arg0[] = "hidpipe";
  char *argv[] = {arg0, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, HIDPIPE_BINARY, &actions, nullptr, argv, envp.data()) == 0) {
    feed();
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);

  r.out = slurp(out_path);
  r.err = slurp(err_path);
  std::istringstream log(slurp(log_path));
  for (std::string line; std::getline(log, line);) r.log.push_back(line);
  for (const std::string &p : {out_path, err_path, log_path}) unlink(p.c_str());
  return r;
}

}  // namespace

process_result run_binary(const std::string &input, const std::vector<std::string> &extra) {
  std::string in_path = temp_file(input);
  int in = open(in_path.c_str(), O_RDONLY);
  process_result r = spawn(in, extra, [] {});
  // The child shared this descriptor's offset: it tells how much input was read.
  r.consumed = lseek(in, 0, SEEK_CUR);
  close(in);
  unlink(in_path.c_str());
  return r;
}

process_result run_binary_paced(const std::vector<paced_chunk> &chunks) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, {}, {}, {}, -1};
  // The writing end must not leak into the child, or its input would never end.
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  process_result r = spawn(fds[0], {}, [&] {
    close(fds[0]);
    for (const paced_chunk &c : chunks) {
      usleep(static_cast<useconds_t>(c.pause_ms) * 1000);
      if (write(fds[1], c.text.data(), c.text.size()) != static_cast<ssize_t>(c.text.size())) break;
    }
    close(fds[1]);
  });
  return r;
}
