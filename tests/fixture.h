// Test fixtures: the program's state reset around each test, the platform's recording, and a runner
// for the built binary.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "quartz/cg_control.h"
#include "state.h"

// Starts each test from the state of a fresh process with its source created, and checks at the
// end that the test left no platform object alive.
class program : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The events posted so far, and forgets them.
  std::vector<cg_record> take();

  // The same, each as describe() gives it.
  std::vector<std::string> take_text();
};

// Carries out each line of text, as the command loop would.
void handle_lines(const std::string &text);

// A short readable form of a posted event: its type, then position, platform button and click
// state for mouse events, wheels for scroll events, key code for key events, then the modifier
// names when any are set, e.g. "left-down 10,20 b0 c1 shift" or "scroll -120,0".
std::string describe(const cg_record &r);

// UTF-16 code units as UTF-8.
std::string utf8_of(const UniChar *units, size_t count);

// Carries out text as the program's whole input (source creation, loop, final release). Returns
// the exit status.
int run_text(const std::string &text);

// Reads one line of the event log back into a record; false when it is not a well-formed line.
// Keyboard records come back with down unset: the log does not show it.
bool parse_log_line(const std::string &line, cg_record *r);

// One piece of input for the binary, written after a pause.
struct paced_chunk {
  int pause_ms;      // how long to wait before writing it
  std::string text;  // what to write
};

// What one run of the binary did.
struct process_result {
  int status;                    // exit status, or -1 when it did not exit normally
  int signal;                    // the signal that ended it, or 0
  std::string out;               // what it wrote to standard output
  std::string err;               // what it wrote to standard error
  std::vector<std::string> log;  // the lines of its event log
  long consumed;                 // how far it read its standard input, in bytes
};

// A run of the binary, its event log in a temporary file and its output and error in others, with
// the stop signals at their default actions. Killed, if still running, when destroyed.
class live_process {
 public:
  // How to start it.
  struct launch {
    std::vector<std::string> env = {};   // further environment settings, "NAME=value"; they win
    std::vector<std::string> args = {};  // its arguments
    int stdin_fd = -1;                   // its standard input, or -1 for a pipe that write() fills
    bool log_on_stderr = false;          // HIDPIPE_SIM_LOG names the file its standard error goes to
    bool outputs_closed = false;         // its standard output and error are closed
    bool output_closed = false;          // its standard output alone is closed
    bool replies_piped = false;          // its standard output is a pipe that read_reply() reads
  };

  explicit live_process(const launch &how);
  live_process() : live_process(launch{}) {}
  ~live_process();
  live_process(const live_process &) = delete;
  live_process &operator=(const live_process &) = delete;

  // Writes text into the pipe; false once the binary no longer reads it.
  bool write(const std::string &text);

  // Waits until the log holds at least lines events; false if it does not within timeout_ms.
  bool wait_log(size_t lines, int timeout_ms = 10000);

  // The log's lines so far.
  std::vector<std::string> log() const;

  void send(int sig);
  void close_input();

  // With replies_piped: the next line of its standard output, without the newline, or null when
  // none comes within timeout_ms.
  std::optional<std::string> read_reply(int timeout_ms = 10000);

  // With replies_piped: closes the reading end, as a controller that goes away would.
  void close_replies();

  // Waits, with its input left open, until the binary has ended; false if it has not within
  // timeout_ms.
  bool ended(int timeout_ms);

  // Closes the pipe, waits for the binary to end (killing it after timeout_ms: then status and
  // signal tell nothing) and collects what it did. consumed is not measured.
  process_result finish(int timeout_ms = 10000);

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;               // the binary, until it has been waited for
  int wait_status_ = -1;         // its wait status once it has been waited for, else -1
  int input_ = -1;               // the writing end of its input pipe, or -1
  int replies_ = -1;             // the reading end of its output pipe, or -1
  std::string pending_;          // what was read of the replies past the last line taken
  std::string out_, err_, log_;  // temporary files
};

// Runs the binary with input as its standard input (a file) and the event log in a temporary
// file; extra holds further environment settings, "NAME=value", and args its arguments.
process_result run_binary(const std::string &input, const std::vector<std::string> &extra = {},
                          const std::vector<std::string> &args = {});

// Runs the binary with a pipe as its standard input, writing the chunks with their pauses and then
// closing it. consumed is not measured.
process_result run_binary_paced(const std::vector<paced_chunk> &chunks);
