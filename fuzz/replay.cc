// Runs a fuzz target over the files given as arguments (or in folders given), without libFuzzer,
// so that the seed corpus is checked in every build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int replay(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  int inputs = 0;
  for (int i = 1; i < argc; i++) {
    std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto &entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) inputs += replay(entry.path());
    } else {
      inputs += replay(path);
    }
  }
  printf("replayed %d inputs\n", inputs);
  return inputs > 0 ? 0 : 1;
}
