#include "keyboard/keys.h"

#include <cstring>

int find_key(const char *name) {
  for (size_t row = 0; row < std::size(keys); row++)
    if (strcmp(keys[row].name, name) == 0) return static_cast<int>(row);
  return -1;
}
