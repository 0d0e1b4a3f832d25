// Where the stand-in sends each posted event besides its log and its recording: a real window
// system, when one is built in and named by the environment. One implementation per backend,
// chosen when building.
#pragma once

#include "sim.h"

// Connects to the window system the environment names (DISPLAY for X11). Returns false when one is
// named and cannot be reached; true when connected, or when none is named or none is built in.
bool deliver_open();

// Sends one posted event to the window system, if connected, and flushes it there. False once the
// connection has broken (deliver_error says how); true otherwise, also when none is named.
bool deliver(const sim_record &r);

// Disconnects, if connected.
void deliver_close();

// Why the window system could not be reached, or why delivery ended since (the connection
// broke); null while events are delivered or when none is named.
const char *deliver_error();
