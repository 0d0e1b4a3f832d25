// The single exit of every synthetic event: stamps the held modifiers, posts, releases.
#pragma once

#include "emit/platform.h"

// The modifier mask of the keys held now: the Command, Shift, Option and Control bits of the
// held modifier keys, and no other bit.
CGEventFlags modifier_mask();

// Takes ownership of event, which may be none (a failed creation; then nothing happens). Replaces
// its flags with modifier_mask(), posts it at the HID event tap and releases it.
void post(CGEventRef event);
