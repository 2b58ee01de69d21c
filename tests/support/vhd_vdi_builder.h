// Builders of small VHD and VDI images for the reader tests. Every stored block holds the test
// disk pattern for its place on the disk, so a read can be checked against diskPattern; padding
// the reader must skip (VHD block bitmaps, VDI per-block extra data) is filled with 0xEE.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quillon::test {

inline constexpr std::uint64_t kKiB = 1024;
inline constexpr std::uint64_t kMiB = 1024 * 1024;

// The byte the test disks hold at disk offset x: differs between neighbouring sectors and
// blocks, and is never the same for a whole sector.
[[nodiscard]] std::uint8_t diskPattern(std::uint64_t x);
[[nodiscard]] std::vector<std::uint8_t> diskPatternBytes(std::uint64_t offset, std::size_t length);

// The 512-byte VHD footer with a correct checksum.
[[nodiscard]] std::vector<std::uint8_t> vhdFooter(std::uint64_t diskSize, std::uint32_t diskType,
                                                  std::uint64_t dataOffset);

// A fixed VHD: diskSize bytes of pattern, then the footer.
[[nodiscard]] std::vector<std::uint8_t> buildFixedVhd(std::uint64_t diskSize);

struct VhdLayout {
  std::uint64_t diskSize = 8 * kMiB;
  std::uint32_t blockSize = 2 * kMiB;
  std::uint64_t headerOffset = 512;
  std::uint64_t tableOffset = 1536;
  std::optional<std::uint32_t> maxTableEntries{}; // default: ceil(diskSize / blockSize)
  std::uint32_t diskType = 3;                     // 3 dynamic, 4 differencing
  std::vector<std::uint32_t> allocated{};         // disk blocks stored, in file order
};

// A dynamic VHD: footer copy, dynamic header, block table, then each allocated block (bitmap
// and data) and the footer at the end.
[[nodiscard]] std::vector<std::uint8_t> buildDynamicVhd(const VhdLayout &layout);

struct VdiLayout {
  std::uint64_t diskSize = 4 * kMiB;
  std::uint32_t blockSize = 1 * kMiB;
  std::uint32_t extraBytes = 0;
  std::uint32_t imageType = 1; // 1 dynamic, 2 fixed
  std::uint32_t mapOffset = 512;
  // Map entries: index into the data area, 0xFFFFFFFF free, 0xFFFFFFFE zero. Default: one
  // entry per block, each block stored in disk order (a fixed image).
  std::optional<std::vector<std::uint32_t>> map{};
  std::optional<std::uint32_t> blockCount{};     // header field; default: the map's length
  std::optional<std::uint32_t> allocatedCount{}; // header field; default: stored blocks
};

// A VDI image: header, block map, data area (from the next 512-byte boundary after the map).
[[nodiscard]] std::vector<std::uint8_t> buildVdi(const VdiLayout &layout);
// Where buildVdi puts the data area.
[[nodiscard]] std::uint64_t vdiDataOffset(const VdiLayout &layout);

} // namespace quillon::test
