#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>

#include "command/stop.h"

volatile sig_atomic_t stop_signal;

namespace {

HANDLE reader;  // the thread that reads the input: the main thread

// Windows calls this on a thread of its own. The session ends as on a signal elsewhere: the
// signal is recorded, and the main thread's read, whenever it begins, is cancelled so that the
// loop notices. Cancelling again every few milliseconds covers a read that starts after the loop
// last looked; the process ends from the main thread (die_by) while this waits.
BOOL WINAPI on_console_event(DWORD event) {
  int sig = SIGTERM;  // the console closes, the user logs off, the system shuts down
  if (event == CTRL_C_EVENT) sig = SIGINT;
  if (event == CTRL_BREAK_EVENT) sig = SIGBREAK;
  if (stop_signal == 0) stop_signal = sig;
  for (;;) {
    if (reader != nullptr) CancelSynchronousIo(reader);
    Sleep(10);
  }
}

}  // namespace

void catch_stop_signals(int /*input_fd*/) {
  HANDLE self = GetCurrentThread();
  if (!DuplicateHandle(GetCurrentProcess(), self, GetCurrentProcess(), &reader, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    reader = nullptr;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void die_by(int /*sig*/) {
  // What a console program ended by Ctrl+C reports to its parent.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void prepare_streams(int input_fd, bool /*diagnostics*/) {
  // A broken pipe only fails the write here: nothing to ignore.
  _setmode(input_fd, _O_BINARY);
}
