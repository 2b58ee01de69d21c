// HFSP: the volume header, mapping a fork's extents (with its overflow extents) to bytes on the
// volume, and reading a fork through that mapping. Every extent is bounded by the disk, and no
// fork is taken to hold more blocks than the disk has.
#include "fs/hfsplus/hfs_layout.h"
#include "fs/hfsplus/hfsplus.h"

#include "core/text_convert.h"
#include "disk/reader.h"

#include <algorithm>

namespace quillon {

using namespace hfs;

HFSP::HFSP(readWriteInterface &reader, Progress &progress, WorkerControl &control,
           VolumeRecord volume)
    : reader_(reader), progress_(progress), control_(control), volume_(std::move(volume)) {}

bool HfsNode::isHardLink() const {
  return kind == kFileRecord && fileType == kHardLinkType && fileCreator == kHardLinkCreator;
}

bool HfsNode::isCompressed() const {
  return kind == kFileRecord && (ownerFlags & kCompressedFlag) != 0;
}

void HFSP::attachVolume() { reader_.baseOffset = volume_.startSector * kSectorSize; }

std::uint64_t HFSP::diskBytes() const {
  const std::uint64_t disk = reader_.sectorCount() * kSectorSize;
  return disk > reader_.baseOffset ? disk - reader_.baseOffset : 0;
}

bool HFSP::readVolumeHeader() {
  std::vector<std::uint8_t> header(kVolumeHeaderSize, 0);
  if (!reader_.readAt(kVolumeHeaderOffset, header)) {
    return false;
  }
  volumeHeader = std::move(header);
  blockSize = be32(volumeHeader, kVhBlockSize);
  totalBlocks = be32(volumeHeader, kVhTotalBlocks);
  return true;
}

void HFSP::appendOverflowExtents(std::uint32_t fileId, std::uint8_t forkType,
                                 std::uint32_t totalBlocks, std::vector<HfsExtent> &extents) const {
  std::uint64_t blocks = 0;
  for (const HfsExtent &e : extents) {
    blocks += e.blockCount;
  }
  // Each record found moves the count on, so no record is used twice and the loop ends.
  while (blocks < totalBlocks) {
    const auto it = overflowIndex.find({fileId, forkType, static_cast<std::uint32_t>(blocks)});
    if (it == overflowIndex.end()) {
      return; // the file is read with the blocks found so far
    }
    std::uint64_t added = 0;
    for (const HfsExtent &e : it->second.extents) {
      if (e.blockCount == 0) {
        break;
      }
      extents.push_back(e);
      added += e.blockCount;
    }
    if (added == 0) {
      return; // a record that adds nothing would be looked up again and again
    }
    blocks += added;
  }
}

std::vector<HfsRun> HFSP::forkRuns(const HfsFork &fork, std::uint32_t fileId,
                                   std::uint8_t forkType) const {
  std::vector<HfsRun> runs;
  if (blockSize == 0) {
    return runs;
  }
  std::vector<HfsExtent> extents = fork.extents;
  appendOverflowExtents(fileId, forkType, fork.totalBlocks, extents);
  const std::uint64_t diskBlocks = diskBytes() / blockSize;
  std::uint64_t budget = diskBlocks; // no fork holds more blocks than the disk
  std::uint64_t forkOffset = 0;
  for (const HfsExtent &e : extents) {
    const std::uint64_t count = std::min<std::uint64_t>(e.blockCount, budget);
    if (count == 0) {
      break;
    }
    budget -= count;
    // The part that lies on the disk, then the rest (or the whole extent) as zeros.
    std::uint64_t onDisk = 0;
    if (e.startBlock != 0 && e.startBlock < diskBlocks) {
      onDisk = std::min<std::uint64_t>(count, diskBlocks - e.startBlock);
      runs.push_back({forkOffset, e.startBlock * blockSize, onDisk * blockSize, false});
      forkOffset += onDisk * blockSize;
    }
    if (count > onDisk) {
      runs.push_back({forkOffset, 0, (count - onDisk) * blockSize, true});
      forkOffset += (count - onDisk) * blockSize;
    }
  }
  return runs;
}

bool HFSP::readFork(const std::vector<HfsRun> &runs, std::uint64_t offset,
                    std::span<std::uint8_t> out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  if (out.empty()) {
    return true;
  }
  // The first run that ends after offset.
  auto it = std::upper_bound(
      runs.begin(), runs.end(), offset,
      [](std::uint64_t value, const HfsRun &run) { return value < run.forkOffset + run.length; });
  bool ok = true;
  const std::uint64_t end = offset + out.size();
  for (; it != runs.end() && it->forkOffset < end; ++it) {
    const std::uint64_t from = std::max(offset, it->forkOffset);
    const std::uint64_t to = std::min(end, it->forkOffset + it->length);
    if (from >= to || it->zeros) {
      continue;
    }
    const auto piece = out.subspan(from - offset, to - from);
    ok = reader_.readAt(it->volumeOffset + (from - it->forkOffset), piece) && ok;
  }
  return ok;
}

namespace hfs {

std::optional<std::int64_t> dateToUnix(std::uint32_t hfsDate) {
  if (hfsDate == 0) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(hfsDate) - kEpochDelta;
}

std::string nameText(Bytes utf16be) {
  std::u16string units;
  units.reserve(utf16be.size() / 2);
  for (std::size_t i = 0; i + 1 < utf16be.size(); i += 2) {
    char16_t u = static_cast<char16_t>(be16(utf16be, i));
    if (u == 0) {
      u = u'\u2400'; // the private folders' names start with NULs; keep them visible
    } else if (u == u'/') {
      u = u':';
    }
    units.push_back(u);
  }
  return utf16ToUtf8(units);
}

} // namespace hfs

} // namespace quillon
