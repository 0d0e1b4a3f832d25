// In-process controls of the portable platform, for tests: what was posted, which creations fail, the clock,
// and how many of its objects are alive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quartz/cg.h"

// Which creation call made an event; decides the fields that mean something.
enum cg_kind : uint8_t { cg_mouse, cg_keyboard, cg_scroll };

// One event as it was when posted.
struct cg_record {
  CGEventTapLocation tap;  // where it was posted
  CGEventType type;        // type at posting
  CGEventFlags flags;      // flags at posting
  cg_kind kind;            // creation call
  bool down;               // keyboard: the key-down flag it was created with
  CGPoint at;              // mouse: position
  CGMouseButton button;    // mouse: button
  int64_t click;           // mouse: click state field, 0 when never set
  bool relative;           // mouse: a delta field was set, so the move is by delta[]
  int64_t delta[2];        // mouse: the x and y delta fields, 0 when never set
  CGKeyCode keycode;       // keyboard: virtual key
  uint8_t text_length;     // keyboard: UTF-16 code units of text it types, 0 for a plain key
  UniChar text[20];        // keyboard: the text it types
  CGScrollEventUnit unit;  // scroll: unit
  uint32_t wheels;         // scroll: wheel count
  int32_t wheel[3];        // scroll: wheel values, 0 past the count
};

// Creations that can be made to fail, and the permission to post that can be withheld.
enum cg_failure : uint8_t { cg_fail_source, cg_fail_mouse, cg_fail_keyboard, cg_fail_scroll, cg_fail_access };

// Frees every object, clears the recording and failures and returns to the real clock. Recording
// is switched off; the log is left as it is.
void cg_reset();

// Keeps every posted event in memory from now on (on) or no longer (off).
void cg_record_posts(bool on);

// The events posted since the last reset or cg_clear_posts, oldest first.
const cg_record *cg_posts();
size_t cg_post_count();
void cg_clear_posts();

// Makes creations of one kind yield none (on) or work again (off); cg_fail_access makes
// CGPreflightPostEventAccess false.
void cg_fail(cg_failure which, bool on);

// Puts the pointer at a place, as the user's own mouse would, without posting anything.
void cg_move_pointer(CGPoint at);

// Fixes the clock at ns nanoseconds until the next reset.
void cg_set_clock(uint64_t ns);

// How many events and sources are alive.
int cg_live();

// Writes one event as a log line (without newline) into out, which holds size bytes. Returns the
// length, or 0 when it does not fit.
size_t cg_format(const cg_record &r, char *out, size_t size);
