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
#include "keyboard/key.h"

extern char **environ;

void reset_program() {
  memset(held_keys, 0, sizeof held_keys);
}

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

int run_text(const std::string &text) {
  // fmemopen refuses an empty buffer; /dev/null is the same input.
  FILE *in = text.empty() ? fopen("/dev/null", "r") : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
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

process_result run_binary(const std::string &input, const std::vector<std::string> &extra) {
  process_result r{-1, {}, {}, {}, -1};
  std::string in_path = temp_file(input), out_path = temp_file(""), err_path = temp_file("");
  std::string log_path = temp_file("stale line from an earlier run\n");
  int in = open(in_path.c_str(), O_RDONLY);

  // The first setting of a name wins: extra before the log, both before the inherited ones.
  std::vector<std::string> env = extra;
  env.push_back("HIDPIPE_SIM_LOG=" + log_path);
  for (char **e = environ; *e != nullptr; e++)
    if (strncmp(*e, "HIDPIPE_", 8) != 0) env.emplace_back(*e);
  std::vector<char *> envp;
  for (std::string &s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_TRUNC, 0);
  char arg0[] = "hidpipe";
  char *argv[] = {arg0, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, HIDPIPE_BINARY, &actions, nullptr, argv, envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  // The child shared this descriptor's offset: it tells how much input was read.
  r.consumed = lseek(in, 0, SEEK_CUR);
  close(in);

  r.out = slurp(out_path);
  r.err = slurp(err_path);
  std::istringstream log(slurp(log_path));
  for (std::string line; std::getline(log, line);) r.log.push_back(line);
  for (const std::string &p : {in_path, out_path, err_path, log_path}) unlink(p.c_str());
  return r;
}
