// Soak run of the hidpipe binary: streams the mixed command stream into it and reports its memory.
//   soak HIDPIPE COMMANDS [CHECKPOINT...]
// Pass 1 runs with the event log off and reads the process's peak RSS (VmHWM) at each checkpoint
// and at exit. Pass 2 streams the same commands with the log on a pipe, counts the posted events
// and reads the platform's count of objects left alive at exit.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mix.h"

namespace {

struct child {
  pid_t pid;
  int in;  // its standard input
};

// Starts hidpipe with a pipe as its standard input; log_fd, when not -1, becomes its descriptor 3
// and its event log.
child start(const char *binary, int log_fd) {
  int fds[2];
  if (pipe(fds) != 0) exit(2);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    unsetenv("HIDPIPE_SIM_LOG");
    setenv("HIDPIPE_BACKEND", "none", 1);  // hidpipe's own memory is measured, no desktop's
    unsetenv("HIDPIPE_SIM_FAIL");
    if (log_fd >= 0) {
      dup2(log_fd, 3);
      setenv("HIDPIPE_SIM_LOG", "/dev/fd/3", 1);
    }
    execl(binary, "hidpipe", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  return {pid, fds[1]};
}

long peak_rss_kib(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f) != nullptr)
    if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  fclose(f);
  return kib;
}

void write_all(int fd, const std::string &s) {
  for (size_t done = 0; done < s.size();) {
    ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n <= 0) exit(2);
    done += static_cast<size_t>(n);
  }
}

// Streams count commands into c; calls at(n) after the first n commands for each checkpoint n.
template <typename At>
void stream(const child &c, long count, const std::vector<long> &checkpoints, At at) {
  mix m{88172645463325252ull, 2000, 1500};
  std::string block;
  size_t next_checkpoint = 0;
  for (long i = 1; i <= count; i++) {
    add_command(m, block);
    bool checkpoint = next_checkpoint < checkpoints.size() && checkpoints[next_checkpoint] == i;
    if (block.size() > (1u << 16) || checkpoint || i == count) {
      write_all(c.in, block);
      block.clear();
    }
    if (checkpoint) {
      at(i);
      next_checkpoint++;
    }
  }
}

// Pass 1: memory, log off.
void memory_pass(const char *binary, long count, const std::vector<long> &checkpoints) {
  child c = start(binary, -1);
  auto begin = std::chrono::steady_clock::now();
  stream(c, count, checkpoints, [&](long n) {
    // The pipe holds at most 64 KiB not yet read; let hidpipe drain it before looking.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    printf("peak RSS after %ld commands: %ld KiB\n", n, peak_rss_kib(c.pid));
    fflush(stdout);
  });
  close(c.in);
  int status = 0;
  rusage usage{};
  wait4(c.pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  printf("peak RSS at exit after %ld commands: %ld KiB (exit status %d, %.1f s)\n", count, usage.ru_maxrss,
         WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds);
}

// Counts the lines read from fd, and takes the leak count from a {"leaked":N} line.
void count_log(int fd, long *events, long *leaked) {
  std::string line;
  char buf[1 << 16];
  ssize_t n = 0;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    for (const char *p = buf; p < buf + n; p++) {
      if (*p != '\n') {
        if (line.size() < 64) line += *p;
        continue;
      }
      if (line.compare(0, 10, "{\"leaked\":") == 0)
        *leaked = strtol(line.c_str() + 10, nullptr, 10);
      else
        ++*events;
      line.clear();
    }
  }
}

// Pass 2: the same stream with the log on a pipe. Returns whether nothing leaked and hidpipe exited 0.
bool leak_pass(const char *binary, long count) {
  int log[2];
  if (pipe(log) != 0) return false;
  child c = start(binary, log[1]);
  close(log[1]);
  long events = 0, leaked = 0;
  std::thread reader(count_log, log[0], &events, &leaked);
  stream(c, count, {}, [](long) {});
  close(c.in);
  int status = 0;
  waitpid(c.pid, &status, 0);
  reader.join();
  bool exited_0 = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  printf("posted events: %ld; leaked objects: %ld (exit status %d)\n", events, leaked,
         WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return leaked == 0 && exited_0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: soak HIDPIPE COMMANDS [CHECKPOINT...]\n");
    return 2;
  }
  long count = strtol(argv[2], nullptr, 10);
  std::vector<long> checkpoints;
  for (int i = 3; i < argc; i++) checkpoints.push_back(strtol(argv[i], nullptr, 10));
  memory_pass(argv[1], count, checkpoints);
  return leak_pass(argv[1], count) ? 0 : 1;
}
