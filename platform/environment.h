// The portable platform's settings in the environment, checked once at start: a value that is set
// and bad is a reason not to start, said as such, rather than a setting silently taken otherwise.
#pragma once

#include <cstddef>

// Whether a variable is set and not empty (empty counts as unset).
bool env_set(const char *variable);

// Checks every setting that is set: HIDPIPE_SCREEN, HIDPIPE_UINPUT_SETTLE_MS, HIDPIPE_SIM_FAIL.
// Returns why the first bad one is bad, written into out (size bytes), or null when all are good.
const char *check_environment(char *out, size_t size);

// Reads HIDPIPE_SCREEN's form, WIDTHxHEIGHT with each 1 to 65535: null, with *w and *h set, when
// text is such a size; else why not (a fixed text).
const char *screen_size(const char *text, int *w, int *h);

// A number setting, checked at start: its value, or fallback when it is unset or empty.
long env_number(const char *variable, long fallback);

// The creations HIDPIPE_SIM_FAIL names, in cg_failure's order.
inline constexpr const char *failure_names[] = {"source", "mouse", "keyboard", "scroll", "access"};
