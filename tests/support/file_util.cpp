// Whole-file reads and writes for tests.
#include "support/file_util.h"

#include <fstream>
#include <iterator>

namespace quillon::test {

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::filesystem::path &p, const std::vector<std::uint8_t> &bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void writeFileText(const std::filesystem::path &p, const std::string &text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

} // namespace quillon::test
