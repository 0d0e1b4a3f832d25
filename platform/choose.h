// What the run-time choice of the backend (choose.cc) shares with each system's automatic rules
// (choose_posix.cc, choose_windows.cc).
#pragma once

#include "backend.h"
#include "environment.h"

extern const backend none_backend;  // the event log alone
extern char choice_reason[1024];    // why no backend could start, for choose_backend's *why

// The backend of this name that this build carries, or null.
const backend *find_backend(const char *name);

// Opens b and returns it; on failure sets choice_reason from its error and returns null.
const backend *opened(const backend *b);

// The system's choice when HIDPIPE_BACKEND does not name one: opened, or null with choice_reason
// set. *note is a remark on the choice for --verbose, or stays null.
const backend *automatic(const char **note);
