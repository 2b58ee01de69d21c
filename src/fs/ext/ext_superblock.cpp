// ext2Class: attaching the reader, the superblock search, the geometry and the group
// descriptors (32-byte, 64-byte, and spread over meta groups).
#include "fs/ext/ext2.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "fs/ext/ext_layout.h"

#include <algorithm>

namespace quillon {

namespace {

using namespace ext;

bool isPowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Whether group is 0, 1 or a power of 3, 5 or 7: the groups that keep a backup superblock on a
// sparse_super volume.
bool sparseGroup(std::uint64_t group) {
  if (group <= 1) {
    return true;
  }
  for (const std::uint64_t base : {3U, 5U, 7U}) {
    std::uint64_t p = base;
    while (p < group) {
      p *= base;
    }
    if (p == group) {
      return true;
    }
  }
  return false;
}

} // namespace

ext2Class::ext2Class(readWriteInterface &reader, Progress &progress, WorkerControl &control,
                     VolumeRecord volume)
    : reader_(reader), progress_(progress), control_(control), volume_(std::move(volume)) {
  geometry.volumeSize = volumeSizeMiB(volume_.volumeSizeText) * 1048576ULL;
}

bool ext2Class::attachReader() {
  reader_.baseOffset = volume_.startSector * kSectorSize;
  return reader_.seek(0);
}

std::uint64_t ext2Class::readableBytes() const {
  const std::uint64_t disk = reader_.sectorCount() * kSectorSize;
  return disk > reader_.baseOffset ? disk - reader_.baseOffset : 0;
}

bool ext2Class::findSuperblock() {
  if (geometry.volumeSize <= 1536) {
    return false;
  }
  // The search never runs past the volume, nor past the end of the disk.
  const std::uint64_t limit = std::min(geometry.volumeSize, readableBytes());
  // Candidates are taken from chunks read in one piece; each candidate needs 1024 bytes, so a
  // chunk reaches 512 bytes past its last candidate.
  // Small volumes get a chunk of their size; every chunk holds at least one candidate.
  const std::uint64_t kChunk = std::clamp<std::uint64_t>(limit, 512, 1 << 20);
  std::vector<std::uint8_t> chunk(kChunk + kSuperblockSize);
  std::uint64_t offset = kSuperblockOffset;
  bool first = true;
  while (true) {
    const std::uint64_t chunkStart = offset;
    std::fill(chunk.begin(), chunk.end(), 0);
    (void)reader_.readAt(chunkStart, chunk); // a failed read leaves zeros, which are refused
    for (; offset < chunkStart + kChunk; offset += 512) {
      if (!first && offset + 512 >= limit) {
        return false;
      }
      first = false;
      const Bytes candidate = Bytes(chunk).subspan(offset - chunkStart, kSuperblockSize);
      const bool magic = le16(candidate, kSbMagic) == kExtMagic;
      if (control_.stopRequested()) {
        control_.clearStop();
        return magic && takeSuperblock(candidate, offset);
      }
      if (magic && le32(candidate, kSbLogBlockSize) <= kMaxLogBlockSize) {
        return takeSuperblock(candidate, offset);
      }
    }
    if (!control_.checkpoint()) {
      control_.clearStop();
      return false;
    }
  }
}

bool ext2Class::takeSuperblock(Bytes sb, std::uint64_t offset) {
  const std::uint32_t logBlock = le32(sb, kSbLogBlockSize);
  if (logBlock > kMaxLogBlockSize) {
    return false;
  }
  ExtGeometry &g = geometry;
  g.superblockOffset = offset;
  g.blockSize = 1024U << logBlock;
  g.inodeCount = le32(sb, kSbInodesCount);
  g.blocksPerGroup = le32(sb, kSbBlocksPerGroup);
  g.inodesPerGroup = le32(sb, kSbInodesPerGroup);
  g.groupSize = std::uint64_t{g.blockSize} * g.blocksPerGroup;
  g.firstDataBlock = le32(sb, kSbFirstDataBlock);
  g.featureCompat = le32(sb, kSbFeatureCompat);
  g.featureIncompat = le32(sb, kSbFeatureIncompat);
  g.featureRoCompat = le32(sb, kSbFeatureRoCompat);
  g.hasFileTypes = (g.featureIncompat & kIncompatFileType) != 0;
  g.blocksCount = le32(sb, kSbBlocksCountLo);
  if (g.has64BitBlocks()) {
    g.blocksCount |= std::uint64_t{le32(sb, kSbBlocksCountHi)} << 32;
  }
  const bool dynamic = le32(sb, kSbRevLevel) != 0;
  g.inodeSize = dynamic ? le16(sb, kSbInodeSize) : kGoodOldInodeSize;
  g.firstInode = dynamic ? le32(sb, kSbFirstIno) : kGoodOldFirstInode;
  if (g.firstInode < 3 || g.firstInode > g.inodeCount) {
    g.firstInode = kGoodOldFirstInode;
  }
  g.descriptorSize = g.has64BitBlocks() ? le16(sb, kSbDescSize) : kDescriptorSize32;
  g.firstMetaGroup = le32(sb, kSbFirstMetaBg);
  g.backupGroups = {le32(sb, kSbBackupBgs), le32(sb, kSbBackupBgs + 4)};
  g.clusterRatio = 1;
  if ((g.featureRoCompat & kRoCompatBigalloc) != 0) {
    const std::uint32_t logCluster = le32(sb, kSbLogClusterSize);
    if (logCluster >= logBlock && logCluster - logBlock < 20) {
      g.clusterRatio = 1U << (logCluster - logBlock);
    }
  }
  g.readableBlocks = std::min<std::uint64_t>(g.blocksCount, readableBytes() / g.blockSize);
  // The groups that hold blocks after the first data block, the last one possibly partial.
  g.groupCount = 0;
  if (g.blocksPerGroup != 0 && g.blocksCount > g.firstDataBlock) {
    const std::uint64_t groups =
        (g.blocksCount - g.firstDataBlock + g.blocksPerGroup - 1) / g.blocksPerGroup;
    g.groupCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(groups, UINT32_MAX));
  }
  return true;
}

std::uint64_t ext2Class::groupFirstBlock(std::uint64_t group) const {
  return geometry.firstDataBlock + group * geometry.blocksPerGroup;
}

bool ext2Class::groupHasSuperblock(std::uint64_t group) const {
  if (group == 0) {
    return true;
  }
  if ((geometry.featureCompat & kCompatSparseSuper2) != 0) {
    return group == geometry.backupGroups[0] || group == geometry.backupGroups[1];
  }
  if ((geometry.featureRoCompat & kRoCompatSparseSuper) == 0) {
    return true;
  }
  return sparseGroup(group);
}

std::optional<std::uint64_t> ext2Class::descriptorOffset(std::uint32_t group) const {
  const ExtGeometry &g = geometry;
  const std::uint64_t perBlock = g.blockSize / g.descriptorSize;
  const std::uint64_t descriptorBlock = group / perBlock;
  const std::uint64_t within = (group % perBlock) * g.descriptorSize;
  if (!g.hasMetaGroups() || descriptorBlock < g.firstMetaGroup) {
    // One table in the block after the one holding the superblock in use.
    const std::uint64_t tableBlock = g.superblockOffset / g.blockSize + 1;
    return tableBlock * g.blockSize + std::uint64_t{group} * g.descriptorSize;
  }
  // meta_bg: each block of descriptors sits at the start of the first group it describes, after
  // that group's superblock backup.
  const std::uint64_t metaGroup = descriptorBlock * perBlock;
  const std::uint64_t block = groupFirstBlock(metaGroup) + (groupHasSuperblock(metaGroup) ? 1 : 0);
  if (!g.validBlock(block)) {
    return std::nullopt;
  }
  return block * g.blockSize + within;
}

bool ext2Class::readGroupDescriptors() {
  ExtGeometry &g = geometry;
  groups.clear();
  const bool goodDescriptorSize =
      g.descriptorSize == kDescriptorSize32 ||
      (g.has64BitBlocks() && g.descriptorSize >= kDescriptorSize64 &&
       g.descriptorSize <= kMaxDescriptorSize && isPowerOfTwo(g.descriptorSize));
  const bool goodInodes = g.inodesPerGroup != 0 && g.inodeSize >= kGoodOldInodeSize &&
                          g.inodeSize <= g.blockSize && isPowerOfTwo(g.inodeSize);
  if (g.groupCount == 0 || !goodDescriptorSize || !goodInodes || g.descriptorSize > g.blockSize) {
    return false;
  }
  // Every descriptor lies on the volume, so a superblock that claims more groups than the volume
  // could describe is cut to what can be read.
  const std::uint64_t readable = readableBytes();
  const std::uint64_t fitting = readable / g.descriptorSize;
  g.groupCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(g.groupCount, fitting));
  if (g.groupCount == 0) {
    return false;
  }
  // Descriptors are read a block at a time (the whole table in one go where it is contiguous).
  std::vector<std::uint8_t> window;
  std::uint64_t windowStart = 0;
  bool anyRead = false;
  groups.resize(g.groupCount);
  for (std::uint32_t i = 0; i < g.groupCount; ++i) {
    const auto at = descriptorOffset(i);
    if (!at || *at + g.descriptorSize > readable) {
      continue;
    }
    if (window.empty() || *at < windowStart ||
        *at + g.descriptorSize > windowStart + window.size()) {
      const std::uint64_t contiguous =
          (!g.hasMetaGroups() ? std::uint64_t{g.groupCount - i} * g.descriptorSize
                              : g.blockSize - *at % g.blockSize);
      const std::uint64_t length =
          std::min<std::uint64_t>({contiguous, kDescriptorWindow, readable - *at});
      window.assign(std::max<std::uint64_t>(length, g.descriptorSize), 0);
      windowStart = *at;
      if (!reader_.readAt(windowStart, window)) {
        window.clear();
        continue;
      }
    }
    anyRead = true;
    const Bytes d = Bytes(window).subspan(*at - windowStart, g.descriptorSize);
    ExtGroup &group = groups[i];
    group.inodeTable = le32(d, kBgInodeTableLo);
    group.blockBitmap = le32(d, kBgBlockBitmapLo);
    group.flags = le16(d, kBgFlags);
    group.unusedInodes = le16(d, kBgItableUnusedLo);
    if (g.descriptorSize >= kDescriptorSize64) {
      group.inodeTable |= std::uint64_t{le32(d, kBgInodeTableHi)} << 32;
      group.blockBitmap |= std::uint64_t{le32(d, kBgBlockBitmapHi)} << 32;
      group.unusedInodes |= std::uint32_t{le16(d, kBgItableUnusedHi)} << 16;
    }
  }
  return anyRead;
}

} // namespace quillon
