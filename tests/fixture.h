// Test fixtures: the program's state reset around each test, the stand-in recording, and a runner
// for the built binary.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim.h"

// Starts each test from the state of a fresh process with its source created, and checks at the
// end that the test left no platform object alive.
class program : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The events posted so far, and forgets them.
  std::vector<sim_record> take();
};

// Clears every input-state variable of the program.
void reset_program();

// Carries out text as the program's whole input (source creation, loop, final release). Returns
// the exit status.
int run_text(const std::string &text);

// What one run of the binary did.
struct process_result {
  int status;                     // exit status, or -1 when it did not exit normally
  std::string out;                // what it wrote to standard output
  std::string err;                // what it wrote to standard error
  std::vector<std::string> log;   // the lines of its event log
  long consumed;                  // how far it read its standard input, in bytes
};

// Runs the binary with input as its standard input (a file) and the event log in a temporary
// file; extra holds further environment settings, "NAME=value".
process_result run_binary(const std::string &input, const std::vector<std::string> &extra = {});
