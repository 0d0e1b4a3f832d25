// The process's life: the command loop, the final release and the exit status.
#pragma once

// Creates the event source, carries out every command read from fd until its input ends, releases
// everything still held and then the source. Returns the exit status: 0 after the end of input;
// 1 when the source cannot be created (then nothing is read) or when the platform lost its window
// system mid-session. A stop signal (stop_signal) ends reading likewise, with status 0: the caller
// then ends the process by that signal.
int run(int fd);

// Carries out one line as read (at most 95 characters, its newline included when it fit); cut
// tells that the line was longer and its rest discarded. Invalid lines do nothing.
void handle(const char *line, bool cut = false);

// Releases every held key in table order, then every held button.
void release_all();

// How a P line waits: pause_for (stop.h), unless a test puts a fake in its place.
extern bool (*pause_wait)(unsigned ms);
