// Whole-file reads and writes for tests.
#include "support/file_util.h"

#include <cstdio>
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

std::string fnv1aHex(const std::vector<std::uint8_t> &bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const auto b : bytes) {
    h = (h ^ b) * 0x100000001b3ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

} // namespace quillon::test
