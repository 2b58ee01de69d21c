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
// 64-bit FNV-1a of the bytes as 16 lower-case hex digits (the fixture manifests' fingerprint).
[[nodiscard]] std::string fnv1aHex(const std::vector<std::uint8_t> &bytes);

} // namespace quillon::test
