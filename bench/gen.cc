// Writes N commands of the mixed stream to standard output: gen N [seed]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mix.h"

int main(int argc, char **argv) {
  long count = argc > 1 ? strtol(argv[1], nullptr, 10) : 1000000;
  mix m{argc > 2 ? strtoull(argv[2], nullptr, 10) : 88172645463325252ull, 2000, 1500};
  std::string block;
  for (long i = 0; i < count; i++) {
    add_command(m, block);
    if (block.size() > (1u << 16) || i + 1 == count) {
      fwrite(block.data(), 1, block.size(), stdout);
      block.clear();
    }
  }
  return 0;
}
