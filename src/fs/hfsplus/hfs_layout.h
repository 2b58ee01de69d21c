// Offsets and sizes of the HFS+ on-disk structures the parser reads (all fields big-endian),
// and the small parsers shared by the parser's files.
#pragma once

#include "core/byte_order.h"
#include "fs/hfsplus/hfsplus.h"

#include <cstddef>
#include <cstdint>

namespace quillon::hfs {

// Volume header, 512 bytes at byte 1024 of the volume.
inline constexpr std::uint64_t kVolumeHeaderOffset = 1024;
inline constexpr std::size_t kVolumeHeaderSize = 512;
inline constexpr std::size_t kVhBlockSize = 0x28;
inline constexpr std::size_t kVhTotalBlocks = 0x2C;
inline constexpr std::size_t kVhExtentsFork = 0xC0;
inline constexpr std::size_t kVhCatalogFork = 0x110;
inline constexpr std::size_t kVhAttributesFork = 0x160;

// Fork data (80 bytes): logicalSize, clumpSize, totalBlocks, then 8 extents.
inline constexpr std::size_t kForkLogicalSize = 0;
inline constexpr std::size_t kForkTotalBlocks = 12;
inline constexpr std::size_t kForkExtents = 16;
inline constexpr std::size_t kForkSize = 80;
inline constexpr std::size_t kExtentsPerRecord = 8;

// Node descriptor (the first 14 bytes of a node).
inline constexpr std::size_t kNodeForwardLink = 0;
inline constexpr std::size_t kNodeKind = 8;
inline constexpr std::size_t kNodeHeight = 9;
inline constexpr std::size_t kNodeNumRecords = 10;
inline constexpr std::size_t kNodeDescriptorSize = 14;
inline constexpr std::int8_t kLeafNode = -1;
inline constexpr std::int8_t kIndexNode = 0;
inline constexpr std::int8_t kHeaderNode = 1;
inline constexpr std::int8_t kMapNode = 2;

// Header record (at byte 14 of node 0).
inline constexpr std::size_t kHeaderFirstLeaf = 14 + 10;
inline constexpr std::size_t kHeaderLastLeaf = 14 + 14;
inline constexpr std::size_t kHeaderNodeSize = 14 + 18;
inline constexpr std::size_t kHeaderTotalNodes = 14 + 22;

// Node sizes the format allows.
inline constexpr std::uint32_t kMinNodeSize = 512;
inline constexpr std::uint32_t kMaxNodeSize = 32768;
// Allocation-block sizes accepted (powers of two).
inline constexpr std::uint64_t kMinBlockSize = 512;
inline constexpr std::uint64_t kMaxBlockSize = 65536;

// Catalog key: keyLength, parentID, name length (UTF-16 units), name.
inline constexpr std::size_t kCatKeyParent = 2;
inline constexpr std::size_t kCatKeyNameLength = 6;
inline constexpr std::size_t kCatKeyName = 8;
inline constexpr std::size_t kCatKeyMinLength = 6;

// Catalog records (after the key).
inline constexpr std::uint16_t kFolderRecord = 1;
inline constexpr std::uint16_t kFileRecord = 2;
inline constexpr std::size_t kFolderRecordSize = 88;
inline constexpr std::size_t kFileRecordSize = 248;
inline constexpr std::size_t kRecId = 0x08;
inline constexpr std::size_t kRecCreateDate = 0x0C;
inline constexpr std::size_t kRecContentModDate = 0x10;
inline constexpr std::size_t kRecAttributeModDate = 0x14;
inline constexpr std::size_t kRecAccessDate = 0x18;
inline constexpr std::size_t kRecOwnerFlags = 0x29;
inline constexpr std::size_t kRecFileMode = 0x2A;
inline constexpr std::size_t kRecSpecial = 0x2C;
inline constexpr std::size_t kRecFileType = 0x30;
inline constexpr std::size_t kRecFileCreator = 0x34;
inline constexpr std::size_t kRecDataFork = 0x58;
inline constexpr std::size_t kRecResourceFork = 0xA8;

// Owner flag of a compressed file.
inline constexpr std::uint8_t kCompressedFlag = 0x20;
// Finder type and creator of a file hard link.
inline constexpr std::uint32_t kHardLinkType = 0x686C6E6B;    // 'hlnk'
inline constexpr std::uint32_t kHardLinkCreator = 0x6866732B; // 'hfs+'

// Extents-overflow key: keyLength (10), forkType, pad, fileID, startBlock; 8 extents follow.
inline constexpr std::size_t kExtKeyForkType = 2;
inline constexpr std::size_t kExtKeyFileId = 4;
inline constexpr std::size_t kExtKeyStartBlock = 8;
inline constexpr std::size_t kExtKeyLength = 10;
inline constexpr std::size_t kExtRecordExtents = 12;

// Attributes key: keyLength, pad, fileID, startBlock, name length, name.
inline constexpr std::size_t kAttrKeyFileId = 4;
inline constexpr std::size_t kAttrKeyNameLength = 12;
inline constexpr std::size_t kAttrKeyName = 14;
// Inline attribute record: recordType, 8 reserved bytes, size, data.
inline constexpr std::uint32_t kAttrInlineRecord = 0x10;
inline constexpr std::size_t kAttrInlineSize = 12;
inline constexpr std::size_t kAttrInlineData = 16;

// A fork's data as stored at off (80 bytes): the extents up to the first empty one.
[[nodiscard]] inline HfsFork parseFork(Bytes b, std::size_t off) {
  HfsFork fork;
  fork.logicalSize = be64(b, off + kForkLogicalSize);
  fork.totalBlocks = be32(b, off + kForkTotalBlocks);
  for (std::size_t i = 0; i < kExtentsPerRecord; ++i) {
    const HfsExtent e{be32(b, off + kForkExtents + 8 * i), be32(b, off + kForkExtents + 8 * i + 4)};
    if (e.blockCount == 0) {
      break;
    }
    fork.extents.push_back(e);
  }
  return fork;
}

// Whether an allocation-block size is usable (a power of two from 512 bytes to 64 KiB).
[[nodiscard]] constexpr bool validBlockSize(std::uint64_t size) {
  return size >= kMinBlockSize && size <= kMaxBlockSize && (size & (size - 1)) == 0;
}

// Whether a node size is one the format allows (a power of two from 512 to 32768).
[[nodiscard]] constexpr bool validNodeSize(std::uint64_t size) {
  return size >= kMinNodeSize && size <= kMaxNodeSize && (size & (size - 1)) == 0;
}

// The part of a node where its records lie: before the table of numRecords offsets (and the
// free-space offset) at its end. A record that runs into the table is cut off there.
[[nodiscard]] inline Bytes recordArea(Bytes node, std::uint16_t numRecords) {
  const std::size_t slots = std::min<std::size_t>(std::size_t{numRecords} + 1, node.size() / 2);
  return node.first(node.size() - 2 * slots);
}

// The record offsets of a node: numRecords offsets from the node's end backwards, each kept only
// when it points past the descriptor and inside the part of the node before the offset table.
[[nodiscard]] inline std::vector<std::uint16_t> recordOffsets(Bytes node,
                                                              std::uint16_t numRecords) {
  std::vector<std::uint16_t> offsets;
  const std::size_t size = node.size();
  if (size < kNodeDescriptorSize + 2) {
    return offsets;
  }
  // The table cannot reach into the descriptor.
  const std::size_t count = std::min<std::size_t>(numRecords, (size - kNodeDescriptorSize) / 2);
  const std::size_t tableStart = size - 2 * count;
  for (std::size_t r = 0; r < count; ++r) {
    const std::uint16_t off = be16(node, size - 2 * (r + 1));
    if (off >= kNodeDescriptorSize && off < tableStart) {
      offsets.push_back(off);
    }
  }
  return offsets;
}

} // namespace quillon::hfs
