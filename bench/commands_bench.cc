// The in-process cost of one command of each kind, from the line buffer to the posted event, with
// the platform's recording off.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "command/command.h"
#include "emit/post.h"
#include "quartz/cg_control.h"
#include "state.h"

namespace {

// A fresh program with its source, as run would have it.
class program_state {
 public:
  program_state() {
    setenv("HIDPIPE_BACKEND", "none", 1);  // hidpipe's own cost is measured, no desktop's
    cg_reset();
    reset_program();
    source = CGEventSourceCreate(kCGEventSourceStatePrivate);
  }
  ~program_state() {
    release_all();
    CFRelease(source);
    source = nullptr;
  }
  program_state(const program_state &) = delete;
  program_state &operator=(const program_state &) = delete;
};

// Runs each line of lines once per iteration; counts iterations as commands per line.
void run_lines(benchmark::State &state, std::initializer_list<const char *> lines) {
  program_state program;
  for (auto _ : state)
    for (const char *line : lines) handle(line);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines.size()));
}

void move(benchmark::State &state) { run_lines(state, {"M 1200 800\n", "M 1201 801\n"}); }
void button_pair(benchmark::State &state) { run_lines(state, {"B 1200 800 0 1\n", "B 1200 800 0 0\n"}); }
void wheel(benchmark::State &state) { run_lines(state, {"W 1200 800 0 120\n"}); }
void key_early(benchmark::State &state) { run_lines(state, {"K KeyA 1\n", "K KeyA 0\n"}); }
void key_late(benchmark::State &state) { run_lines(state, {"K ScrollLock 1\n", "K ScrollLock 0\n"}); }
void release_nothing_held(benchmark::State &state) { run_lines(state, {"R\n"}); }
void invalid_line(benchmark::State &state) { run_lines(state, {"B 1200 800 3 1\n"}); }

BENCHMARK(move);
BENCHMARK(button_pair);
BENCHMARK(wheel);
BENCHMARK(key_early);
BENCHMARK(key_late);
BENCHMARK(release_nothing_held);
BENCHMARK(invalid_line);

}  // namespace

BENCHMARK_MAIN();
