// The pixel of a desktop made of rectangles (its monitors) nearest to a point, for the backends that
// put the pointer on them themselves: over any array of structs with x, y, width and height.
#pragma once

#include <cmath>

// The index of the rectangle of rects[0..count) nearest to the point, and in *x, *y its pixel nearest
// to it. The point is first held to the bounds of the rectangles' union (left to right - 1, top to
// bottom - 1; NaN counts as left or top). count is at least 1.
template <typename R>
int nearest_pixel(const R *rects, int count, int left, int top, int right, int bottom, double px, double py,
                  int *x, int *y) {
  auto inside = [](double v, int low, int high) {
    if (!(v > low)) return low;
    if (v > high) return high;
    return static_cast<int>(std::floor(v));
  };
  int cx = inside(px, left, right - 1), cy = inside(py, top, bottom - 1);
  int best = 0;
  long long best_distance = -1;
  for (int i = 0; i < count; i++) {
    const R &m = rects[i];
    int nx = cx < m.x ? m.x : cx >= m.x + m.width ? m.x + m.width - 1 : cx;
    int ny = cy < m.y ? m.y : cy >= m.y + m.height ? m.y + m.height - 1 : cy;
    long long d = static_cast<long long>(nx - cx) * (nx - cx) + static_cast<long long>(ny - cy) * (ny - cy);
    if (best_distance < 0 || d < best_distance) {
      best = i;
      best_distance = d;
      *x = nx;
      *y = ny;
    }
  }
  return best;
}
