// The stand-in's in-process controls for tests: what was posted, which creations fail, the clock,
// and how many of its objects are alive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cg.h"

// Which creation call made an event; decides the fields that mean something.
enum sim_kind : uint8_t { sim_mouse, sim_keyboard, sim_scroll };

// One event as it was when posted.
struct sim_record {
  CGEventTapLocation tap;  // where it was posted
  CGEventType type;        // type at posting
  CGEventFlags flags;      // flags at posting
  sim_kind kind;           // creation call
  bool down;               // keyboard: the key-down flag it was created with
  CGPoint at;              // mouse: position
  CGMouseButton button;    // mouse: button
  int64_t click;           // mouse: click state field, 0 when never set
  CGKeyCode keycode;       // keyboard: virtual key
  uint8_t text_length;     // keyboard: UTF-16 code units of text it types, 0 for a plain key
  UniChar text[20];        // keyboard: the text it types
  CGScrollEventUnit unit;  // scroll: unit
  uint32_t wheels;         // scroll: wheel count
  int32_t wheel[3];        // scroll: wheel values, 0 past the count
};

// Creations that can be made to fail, and the permission to post that can be withheld.
enum sim_failure : uint8_t {
  sim_fail_source,
  sim_fail_mouse,
  sim_fail_keyboard,
  sim_fail_scroll,
  sim_fail_access
};

// Frees every object, clears the recording and failures and returns to the real clock. Recording
// is switched off; the log is left as it is.
void sim_reset();

// Keeps every posted event in memory from now on (on) or no longer (off).
void sim_record_posts(bool on);

// The events posted since the last reset or sim_clear_posts, oldest first.
const sim_record *sim_posts();
size_t sim_post_count();
void sim_clear_posts();

// Makes creations of one kind yield none (on) or work again (off); sim_fail_access makes
// CGPreflightPostEventAccess false.
void sim_fail(sim_failure which, bool on);

// Fixes the clock at ns nanoseconds until the next reset.
void sim_set_clock(uint64_t ns);

// How many events and sources are alive.
int sim_live();

// Writes one event as a log line (without newline) into out, which holds size bytes. Returns the
// length, or 0 when it does not fit.
size_t sim_format(const sim_record &r, char *out, size_t size);
