// The guardian: a process started beside hidpipe that outlives it and, when hidpipe ends without
// its releases (SIGKILL, a crash), releases what a page shared with it says was held.
#pragma once

// Starts the guardian, before the event source is made, unless HIDPIPE_GUARDIAN is 0; where there
// is none (Windows and macOS, for now) does nothing. False, with *why set, when HIDPIPE_GUARDIAN is
// neither 0 nor 1 nor empty, or the guardian cannot be started.
bool start_guardian(const char **why);

// Tells the guardian that hidpipe ended its session itself, releases included: it then leaves at
// once, whatever the releases came to.
void guardian_done();
