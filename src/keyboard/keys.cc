#include "keyboard/keys.h"

#include <array>
#include <cstring>

namespace {

// The first eight bytes of a name as one number, zero past its end.
constexpr uint64_t prefix(const char *name) {
  uint64_t v = 0;
  for (int i = 0; i < 8 && name[i] != '\0'; i++) v |= uint64_t{static_cast<uint8_t>(name[i])} << (8 * i);
  return v;
}

// The table's names as prefixes, computed when compiling. Nearly every row differs from a given
// name in its first eight bytes, so the scan compares one number per row and whole names only
// where those agree.
constexpr auto prefixes = [] {
  std::array<uint64_t, std::size(keys)> p{};
  for (size_t row = 0; row < std::size(keys); row++) p.at(row) = prefix(keys[row].name);
  return p;
}();

// The rows grouped by the first byte of their names, each group in table order, computed when
// compiling: a name is compared only with the rows that begin as it does, which finds the same
// row as a scan of the whole table, at a cost that hardly depends on where the row is.
struct initial_groups {
  std::array<uint8_t, std::size(keys)> rows;  // row numbers, grouped by initial
  std::array<uint8_t, 257> start;             // rows[start[c]] to rows[start[c + 1] - 1] begin with c
};

constexpr initial_groups groups = [] {
  initial_groups g{};
  size_t n = 0;
  for (size_t c = 0; c < 256; c++) {
    g.start.at(c) = static_cast<uint8_t>(n);
    for (size_t row = 0; row < std::size(keys); row++)
      if (static_cast<uint8_t>(keys[row].name[0]) == c) g.rows.at(n++) = static_cast<uint8_t>(row);
  }
  g.start.at(256) = static_cast<uint8_t>(n);
  return g;
}();
static_assert(groups.start[256] == std::size(keys), "every row in one group");

}  // namespace

int find_key(const char *name) {
  uint64_t p = prefix(name);
  auto initial = static_cast<uint8_t>(name[0]);
  for (size_t i = groups.start[initial]; i < groups.start[initial + 1]; i++) {
    size_t row = groups.rows[i];
    if (prefixes[row] == p && strcmp(keys[row].name, name) == 0) return static_cast<int>(row);
  }
  return -1;
}
