// No heap allocation on the command path: malloc and its kin are replaced by counting wrappers
// around glibc's own, so operator new is counted too. A binary of its own, since sanitizers
// replace malloc themselves.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "command/command.h"
#include "emit/post.h"
#include "mix.h"
#include "quartz/cg_control.h"
#include "state.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
}

namespace {

bool counting;     // whether allocations are being counted
long allocations;  // allocations counted

// Mixed commands, one string per line: 40% M, 20% B, 10% W, 30% K, some R and invalid lines.
std::vector<std::string> mixed_lines(long count) {
  mix m{42, 100, 100};
  std::vector<std::string> lines;
  for (long i = 0; i < count; i++) {
    std::string line;
    add_command(m, line);
    lines.push_back(line);
  }
  return lines;
}

// Allocations made by a whole run of the program over count mixed commands.
long run_allocations(long count) {
  std::string text;
  for (const std::string &line : mixed_lines(count)) text += line;
  cg_reset();
  reset_program();
  int in = text_input(text);
  allocations = 0;
  counting = true;
  int status = run(in);
  counting = false;
  close(in);
  EXPECT_EQ(status, 0);
  return allocations;
}

}  // namespace

extern "C" {
void *malloc(size_t size) {
  if (counting) allocations++;
  return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
  if (counting) allocations++;
  return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size) {
  if (counting) allocations++;
  return __libc_realloc(p, size);
}
void free(void *p) { __libc_free(p); }
}

namespace {

// With the platform writing its log, so that formatting the log is counted as well.
class allocation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("HIDPIPE_SIM_LOG", "/dev/null", 1);
    setenv("HIDPIPE_BACKEND", "none", 1);
  }
};

// The count itself works: the platform's in-memory recording, which the program never turns on,
// allocates as it grows.
TEST_F(allocation, counting_sees_allocations) {
  cg_reset();
  reset_program();
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  cg_record_posts(true);
  allocations = 0;
  counting = true;
  handle("M 1 2\n");
  counting = false;
  release_all();
  CFRelease(source);
  source = nullptr;
  cg_reset();
  EXPECT_GT(allocations, 0);
}

TEST_F(allocation, none_while_handling_commands) {
  std::vector<std::string> lines = mixed_lines(100000);
  cg_reset();
  reset_program();
  source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  allocations = 0;
  counting = true;
  for (const std::string &line : lines) handle(line.c_str());
  release_all();
  counting = false;
  CFRelease(source);
  source = nullptr;
  EXPECT_EQ(allocations, 0);
}

// Whatever the C library allocates for the input stream, it does once, not per command.
TEST_F(allocation, none_per_command_in_a_whole_run) {
  long few = run_allocations(1000);
  EXPECT_EQ(run_allocations(100000), few);
  EXPECT_LE(few, 2) << "at most the stream's own buffer";
}

}  // namespace
