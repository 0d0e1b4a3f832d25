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

}  // namespace

int find_key(const char *name) {
  uint64_t p = prefix(name);
  for (size_t row = 0; row < std::size(keys); row++)
    if (prefixes[row] == p && strcmp(keys[row].name, name) == 0) return static_cast<int>(row);
  return -1;
}
