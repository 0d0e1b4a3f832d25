// What the platform off macOS tells beyond Quartz's own calls, which report failure only as a
// missing object: why events cannot reach their destination; and the waits for the window system
// (host.h), which the command loop ends at a stop signal and bounds for the ending.
#pragma once

#include "host.h"

// Why the event source could not be created, or why events stopped reaching the window system
// since (its connection broke); null while events are delivered. A variable, as the command loop
// looks at it after every line.
extern const char *delivery_error;

// Why the backend that events go to cannot type text (T), or null when it can.
extern const char *text_unsupported;

// Where events go, and any remark on how that was chosen, for --verbose at start; or null.
extern const char *backend_note;

// Waits until the window system has taken every event posted so far, as far as the backend lets
// hidpipe know (a round trip where there is a connection), and until it is ready for the first
// event. False when that cannot be known: the connection broke (delivery_error then says how) or a
// stop signal cut the wait short.
bool await_delivery();

// What the backend could not do with the events delivered since the last call, in words for
// --verbose, one remark a line (a character it could not type, and why); or null when there was
// nothing. The remarks are given once: the next call starts afresh.
const char *take_delivery_notes();
