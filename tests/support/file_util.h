// Small file helpers for tests: whole-file reads and writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quillon::test {

[[nodiscard]] std::vector<std::uint8_t> readFileBytes(const std::filesystem::path &p);
void writeFileBytes(const std::filesystem::path &p, const std::vector<std::uint8_t> &bytes);
void writeFileText(const std::filesystem::path &p, const std::string &text);

} // namespace quillon::test
