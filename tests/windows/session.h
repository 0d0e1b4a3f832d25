// The Windows tests' and benchmark's view of the desktop: the observer window (observer.cc) and
// hidpipe.exe, each a process of their own joined by pipes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A program started with pipes for its standard input and output (standard error goes with the
// output).
struct child {
  HANDLE process = nullptr;
  DWORD id = 0;             // its process id
  HANDLE input = nullptr;   // our end of its standard input, or null once closed
  HANDLE output = nullptr;  // our end of its standard output
  std::string pending;      // read and not yet cut into lines
  bool crlf = false;        // the last line ended in CR LF, as a text-mode stream writes it

  // Starts command_line, with creation flags for CreateProcess; false if it cannot.
  bool start(const std::string &command_line, DWORD flags = 0);
  // Writes all of text to its input.
  bool write(const std::string &text);
  // Closes its input.
  void close_input();
  // The next line of its output without the newline (or CR LF: crlf says which), waiting at most
  // ms; false at the end of output or on timeout.
  bool line(std::string *out, DWORD ms);
  // Waits for it to end, at most ms, and returns its exit status; STILL_ACTIVE if it has not.
  DWORD wait(DWORD ms = INFINITE);
  ~child();
};

// The observer window, started and ready.
class observer {
 public:
  bool start(const std::string &program);
  // Orders everything sent so far (the observer presses a key of its own and waits for it), then
  // returns the lines that came before, F24's aside.
  std::vector<std::string> sync();
  // What the observer says is held down: "held none", or "held" and virtual keys.
  std::string held();
  // The observer's next line, waiting at most ms; false on timeout.
  bool next(std::string *line, DWORD ms) { return c_.line(line, ms); }
  int width = 0, height = 0;  // the desktop, as the observer saw it

 private:
  child c_;
};

// Quotes one argument for a command line as Windows' C runtime reads it back.
std::string quoted(const std::string &arg);
