// The event source every event is made from, and the single exit of every synthetic event:
// stamps the held modifiers, posts, releases.
#pragma once

#include <cstdint>

#include "emit/platform.h"

// The process's event source; every event is made from it. Created and released by the command
// loop, which owns the process's life.
extern CGEventSourceRef source;

// Events whose creation failed, so that nothing was posted for them; counted for diagnostics.
extern uint64_t unposted;

// The modifier mask of the keys held now: the Command, Shift, Option and Control bits of the
// held modifier keys, and no other bit.
CGEventFlags modifier_mask();

// When set, called with false just before each event is posted and with true just after: the
// guardian keeps its copy of what is held by it.
extern void (*posting)(bool posted);

// Takes ownership of event, which may be none (a failed creation; then only unposted counts it).
// Replaces its flags with modifier_mask(), posts it at the HID event tap and releases it.
void post(CGEventRef event);
