// On-disk layout of ext2/ext3/ext4: field offsets of the superblock, group descriptors, inodes,
// extent nodes, directory records and in-inode extended attributes, the feature and flag bits
// the parser looks at, and small readers of inode fields.
#pragma once

#include "core/byte_order.h"
#include "fs/ext/ext2.h"

#include <cstdint>
#include <utility>

namespace quillon::ext {

// --- superblock (1024 bytes at byte 1024 of the volume) ---
inline constexpr std::uint64_t kSuperblockOffset = 1024;
inline constexpr std::size_t kSuperblockSize = 1024;
inline constexpr std::size_t kSbInodesCount = 0x00;
inline constexpr std::size_t kSbBlocksCountLo = 0x04;
inline constexpr std::size_t kSbFirstDataBlock = 0x14;
inline constexpr std::size_t kSbLogBlockSize = 0x18;
inline constexpr std::size_t kSbLogClusterSize = 0x1C;
inline constexpr std::size_t kSbBlocksPerGroup = 0x20;
inline constexpr std::size_t kSbInodesPerGroup = 0x28;
inline constexpr std::size_t kSbMagic = 0x38;
inline constexpr std::size_t kSbRevLevel = 0x4C;
inline constexpr std::size_t kSbFirstIno = 0x54;
inline constexpr std::size_t kSbInodeSize = 0x58;
inline constexpr std::size_t kSbFeatureCompat = 0x5C;
inline constexpr std::size_t kSbFeatureIncompat = 0x60;
inline constexpr std::size_t kSbFeatureRoCompat = 0x64;
inline constexpr std::size_t kSbDescSize = 0xFE;
inline constexpr std::size_t kSbFirstMetaBg = 0x104;
inline constexpr std::size_t kSbBlocksCountHi = 0x150;
inline constexpr std::size_t kSbBackupBgs = 0x24C;

inline constexpr std::uint16_t kExtMagic = 0xEF53;
// Blocks of 1 KiB to 64 KiB.
inline constexpr std::uint32_t kMaxLogBlockSize = 6;
inline constexpr std::uint32_t kGoodOldInodeSize = 128;
inline constexpr std::uint32_t kGoodOldFirstInode = 11;

inline constexpr std::uint32_t kCompatSparseSuper2 = 0x0200;
inline constexpr std::uint32_t kIncompatFileType = 0x0002;
inline constexpr std::uint32_t kIncompatMetaBg = 0x0010;
inline constexpr std::uint32_t kIncompat64Bit = 0x0080;
inline constexpr std::uint32_t kIncompatInlineData = 0x8000;
inline constexpr std::uint32_t kRoCompatSparseSuper = 0x0001;
inline constexpr std::uint32_t kRoCompatGdtCsum = 0x0010;
inline constexpr std::uint32_t kRoCompatBigalloc = 0x0200;
inline constexpr std::uint32_t kRoCompatMetadataCsum = 0x0400;

// --- group descriptors ---
inline constexpr std::uint32_t kDescriptorSize32 = 32;
inline constexpr std::uint32_t kDescriptorSize64 = 64;
inline constexpr std::uint32_t kMaxDescriptorSize = 1024;
inline constexpr std::uint64_t kDescriptorWindow = 1 << 20;
inline constexpr std::size_t kBgBlockBitmapLo = 0x00;
inline constexpr std::size_t kBgInodeTableLo = 0x08;
inline constexpr std::size_t kBgFlags = 0x12;
inline constexpr std::size_t kBgItableUnusedLo = 0x1C;
inline constexpr std::size_t kBgBlockBitmapHi = 0x20;
inline constexpr std::size_t kBgInodeTableHi = 0x28;
inline constexpr std::size_t kBgItableUnusedHi = 0x32;
inline constexpr std::uint16_t kBgInodeUninit = 0x0001;
inline constexpr std::uint16_t kBgBlockUninit = 0x0002;

// --- inodes ---
inline constexpr std::size_t kInodeMode = 0x00;
inline constexpr std::size_t kInodeSizeLo = 0x04;
inline constexpr std::size_t kInodeAtime = 0x08;
inline constexpr std::size_t kInodeCtime = 0x0C;
inline constexpr std::size_t kInodeMtime = 0x10;
inline constexpr std::size_t kInodeDtime = 0x14;
inline constexpr std::size_t kInodeLinks = 0x1A;
inline constexpr std::size_t kInodeFlags = 0x20;
inline constexpr std::size_t kInodeBlock = 0x28;
inline constexpr std::size_t kInodeBlockBytes = 60;
inline constexpr std::size_t kInodeSizeHi = 0x6C;
inline constexpr std::size_t kInodeExtraIsize = 0x80;
inline constexpr std::size_t kInodeCtimeExtra = 0x84;
inline constexpr std::size_t kInodeMtimeExtra = 0x88;
inline constexpr std::size_t kInodeAtimeExtra = 0x8C;

inline constexpr std::uint32_t kFlagIndex = 0x00001000;
inline constexpr std::uint32_t kFlagExtents = 0x00080000;
inline constexpr std::uint32_t kFlagInlineData = 0x10000000;

inline constexpr std::uint16_t kModeFormat = 0xF000;
inline constexpr std::uint16_t kModeDirectory = 0x4000;
inline constexpr std::uint16_t kModeRegular = 0x8000;
inline constexpr std::uint16_t kModeSymlink = 0xA000;

// --- extent tree nodes ---
inline constexpr std::uint16_t kExtentMagic = 0xF30A;
inline constexpr std::size_t kExtentHeaderSize = 12;
inline constexpr std::size_t kExtentEntrySize = 12;
inline constexpr std::uint16_t kMaxExtentDepth = 5;
// An extent of more blocks than this is uninitialised: it reads as zeros.
inline constexpr std::uint16_t kInitialisedExtentMax = 32768;

// --- directory records ---
inline constexpr std::size_t kDirRecordHeader = 8;
inline constexpr std::size_t kMaxNameLength = 255;
inline constexpr std::uint8_t kTypeRegular = 1;
inline constexpr std::uint8_t kTypeDirectory = 2;
inline constexpr std::uint8_t kTypeSymlink = 7;

// --- extended attributes kept in the inode (inline data's "system.data") ---
inline constexpr std::uint32_t kXattrMagic = 0xEA020000;
inline constexpr std::uint8_t kXattrIndexSystem = 7;

[[nodiscard]] constexpr std::size_t align4(std::size_t v) { return (v + 3) & ~std::size_t{3}; }

[[nodiscard]] inline std::uint16_t inodeMode(Bytes inode) { return le16(inode, kInodeMode); }
[[nodiscard]] inline std::uint32_t inodeFlags(Bytes inode) { return le32(inode, kInodeFlags); }
[[nodiscard]] inline std::uint64_t inodeSize(Bytes inode) {
  return le32(inode, kInodeSizeLo) | (std::uint64_t{le32(inode, kInodeSizeHi)} << 32);
}
[[nodiscard]] inline bool inodeInUse(Bytes inode) {
  return le16(inode, kInodeLinks) != 0 && le32(inode, kInodeDtime) == 0;
}
// Inline data: the 60 bytes of i_block and the value of "system.data" (empty when absent), as
// spans into inode.
[[nodiscard]] std::pair<Bytes, Bytes> inlineRegions(Bytes inode);

// A time field with its extra field (epoch bits and nanoseconds) when the inode has room for it.
[[nodiscard]] ExtTime inodeTime(Bytes inode, std::size_t field, std::size_t extraField);

} // namespace quillon::ext
