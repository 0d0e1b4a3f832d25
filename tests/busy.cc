// Busy loops beside a test program when HIDPIPE_TEST_BUSY gives their number (1 to 8): the tests
// that depend on timing run a second time so, as on a loaded machine, and must hold there too.
// Each loop is a child process, ended by its process id when the program's tests are done, and by
// the kernel should the program die first.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

class busy_loops : public ::testing::Environment {
 public:
  void SetUp() override {
    const char *count = getenv("HIDPIPE_TEST_BUSY");
    int n = count != nullptr ? atoi(count) : 0;
    pid_t parent = getpid();
    for (int i = 0; i < n && i < 8; i++) {
      pid_t pid = fork();
      if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
      }
      if (pid > 0) loops_.push_back(pid);
    }
  }

  void TearDown() override {
    for (pid_t pid : loops_) kill(pid, SIGKILL);
    for (pid_t pid : loops_) waitpid(pid, nullptr, 0);
    loops_.clear();
  }

 private:
  std::vector<pid_t> loops_;  // the loops' process ids
};

const ::testing::Environment *const registered = ::testing::AddGlobalTestEnvironment(new busy_loops);

}  // namespace
