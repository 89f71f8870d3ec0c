// Replays corpus files through a fuzz target, for builds without libFuzzer.
// Arguments are files or directories; every regular file is one input.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static void replay(const fs::path &file, size_t &count) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  ++count;
}

int main(int argc, char **argv) {
  size_t count = 0;
  for (int a = 1; a < argc; ++a) {
    const fs::path arg(argv[a]);
    if (fs::is_directory(arg)) {
      for (const auto &entry : fs::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file()) replay(entry.path(), count);
      }
    } else {
      replay(arg, count);
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return count > 0 ? 0 : 1;
}
