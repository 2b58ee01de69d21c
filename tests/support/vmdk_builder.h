// Builds small sparse VMDK extents in memory (header, grain directory, grain tables, grains,
// optional embedded descriptor, optional deflate-compressed grains) for reader tests.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quillon::test {

struct SparseVmdkLayout {
  std::uint64_t capacity = 100; // sectors
  std::uint64_t grainSize = 8;  // sectors
  std::uint32_t numGTEsPerGT = 4;
  bool compressed = false; // stream-optimized: compressed grains, directory in the footer
  std::string descriptor;  // embedded descriptor text, if any
  // Grain number -> fill byte; each sector of the grain starts with its disk sector number
  // (u32) and is otherwise the fill byte. Grains not listed are unallocated.
  std::map<std::uint64_t, std::uint8_t> grains;
  // Grain number -> raw table entry forced into the table (e.g. 1 for a zeroed grain).
  std::map<std::uint64_t, std::uint32_t> forcedEntries;
  bool reverseGrainOrder = false; // store grains in the file in reverse disk order
};

// The bytes of the extent file.
[[nodiscard]] std::vector<std::uint8_t> buildSparseVmdk(const SparseVmdkLayout &layout);

// The expected contents of one disk sector of such an extent.
[[nodiscard]] std::vector<std::uint8_t> expectedSector(const SparseVmdkLayout &layout,
                                                       std::uint64_t sector);

} // namespace quillon::test
