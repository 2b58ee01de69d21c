// Helpers for NTFS file-data tests: LZNT1 chunks written token by token, a small greedy
// compressor on top of them, and deterministic file contents. Volumes and records come from
// ntfs_builder.h.
#pragma once

#include "core/byte_order.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace quillon::test {

// Writes one compressed chunk: flag bytes, literals and back-references, with the token split
// that the output position asks for. The caller must stay within what the format can express.
class Lznt1ChunkWriter {
public:
  void literal(std::uint8_t byte);
  void literals(std::string_view text);
  // Copy length bytes from displacement bytes back (displacement >= 1, length >= 3).
  void reference(std::size_t displacement, std::size_t length);
  // The chunk with its header (compressed flag set).
  [[nodiscard]] std::vector<std::uint8_t> chunk() const;
  [[nodiscard]] std::size_t position() const { return position_; }

private:
  void token(bool isReference, std::uint16_t value, std::uint8_t byte);
  std::vector<std::uint8_t> data_;
  std::size_t flagAt_ = 0;
  int tokens_ = 8; // tokens under the current flag byte
  std::size_t position_ = 0;
};

// A raw chunk (compressed flag clear) holding exactly 4096 bytes.
[[nodiscard]] std::vector<std::uint8_t> lznt1RawChunk(Bytes data4096);

// Greedy LZNT1 compression of data, 4096 bytes per chunk; a full chunk that does not shrink is
// stored raw. No end header: the zeros after it in a unit end the data.
[[nodiscard]] std::vector<std::uint8_t> lznt1Compress(Bytes data);

// Deterministic bytes for file contents; every seed gives different bytes.
[[nodiscard]] std::vector<std::uint8_t> patternBytes(std::size_t n, std::uint32_t seed);

} // namespace quillon::test
