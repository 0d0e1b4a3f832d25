// The process's life: the event source, the command loop and the final release.
#pragma once

#include <cstdio>

#include "emit/platform.h"

// The process's event source; every event is made from it. Lives from the start of run to its end.
extern CGEventSourceRef source;

// Creates source, carries out every command read from in until it ends, releases everything still
// held and then source. Returns the exit status: 0, or 1 when the source cannot be created (then
// nothing is read).
int run(FILE *in);

// Carries out one line as read (at most 95 characters, its newline included when it fit). Invalid
// lines do nothing.
void handle(const char *line);

// Releases every held key in table order, then every held button.
void release_all();
