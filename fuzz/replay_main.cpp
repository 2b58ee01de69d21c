// Replays a fuzz target's corpus without libFuzzer: every file under the given folders (or
// the given files) is passed once to LLVMFuzzerTestOneInput. A crash fails the test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {
void runOne(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}
} // namespace

int main(int argc, char **argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto &e : std::filesystem::recursive_directory_iterator(p)) {
        if (e.is_regular_file()) {
          runOne(e.path());
          ++count;
        }
      }
    } else if (std::filesystem::exists(p)) {
      runOne(p);
      ++count;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
