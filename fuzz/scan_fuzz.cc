// Checks the protocol's reader against sscanf on any line whose numbers fit 32 bits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A line as the loop hands it over: at most 95 characters, ending at the first NUL.
  std::string line(reinterpret_cast<const char *>(data), size < 95 ? size : 95);
  line.resize(line.find('\0') == std::string::npos ? line.size() : line.find('\0'));
  if (!numbers_fit(line)) return 0;
  std::string difference = compare_with_sscanf(line.c_str());
  if (!difference.empty()) {
    fprintf(stderr, "reader and sscanf differ on \"%s\": %s\n", line.c_str(), difference.c_str());
    abort();
  }
  return 0;
}
