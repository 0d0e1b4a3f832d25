// The X11 benchmark's workloads, shared by their senders and the counter that checks what
// arrives: 2,000 pointer moves, 1,000 key taps of A, 1,000 wheel notches down, 2,000 relative
// moves.
#pragma once

#include <cstring>
#include <string>

enum workload_kind { moves, keys, wheel, relative, no_workload };

inline workload_kind workload_of(const char *name) {
  if (strcmp(name, "moves") == 0) return moves;
  if (strcmp(name, "keys") == 0) return keys;
  if (strcmp(name, "wheel") == 0) return wheel;
  if (strcmp(name, "relative") == 0) return relative;
  return no_workload;
}

// How many X events a workload makes arrive.
constexpr int workload_events = 2000;

// The position of move i; every move differs from the one before, and none is at (1, 1), where the
// pointer starts.
inline int move_x(int i) { return 100 + i % 1000; }
inline int move_y(int i) { return 100 + i / 1000 * 10; }

// Relative move i goes 5 pixels right, then back, from (1, 1): every move changes the position.
inline int relative_dx(int i) { return i % 2 == 0 ? 5 : -5; }
inline int relative_x(int i) { return i % 2 == 0 ? 6 : 1; }

// X key code of A, and the wheel button that scrolls down.
constexpr int key_a = 38;
constexpr int wheel_down = 5;
