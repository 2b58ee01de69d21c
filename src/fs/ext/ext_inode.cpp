// ext2Class: inode fields and times, reading the used part of every inode table once into the
// node table, and reading a single inode again when a file is saved.
#include "fs/ext/ext2.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "fs/ext/ext_layout.h"

#include <algorithm>

namespace quillon {

namespace ext {

ExtTime inodeTime(Bytes inode, std::size_t field, std::size_t extraField) {
  ExtTime t;
  t.seconds = static_cast<std::int32_t>(le32(inode, field));
  // The extra field exists when the inode is large enough and its extra size covers it.
  const std::size_t extraEnd = kGoodOldInodeSize + le16(inode, kInodeExtraIsize);
  if (inode.size() > kGoodOldInodeSize && extraField + 4 <= extraEnd &&
      extraField + 4 <= inode.size()) {
    const std::uint32_t extra = le32(inode, extraField);
    t.seconds += static_cast<std::int64_t>(extra & 3) << 32;
    t.nanoseconds = extra >> 2;
    if (t.nanoseconds >= 1000000000U) {
      t.nanoseconds = 0;
    }
  }
  return t;
}

} // namespace ext

using namespace ext;

namespace {

// Inode-table bytes read in one request.
constexpr std::uint64_t kTableChunk = 1 << 20;

} // namespace

void ext2Class::readInodeTables() {
  const ExtGeometry &g = geometry;
  nodeTable.clear();
  directories_.clear();
  inodesCovered_ = 0;
  progress_.setRange(0, g.groupCount);
  // A table of a sound volume never holds more bytes than the volume, so reading stops there.
  std::uint64_t budget = readableBytes();
  std::vector<std::uint8_t> chunk;
  for (std::uint32_t gi = 0; gi < g.groupCount && gi < groups.size(); ++gi) {
    const std::uint64_t firstInode = std::uint64_t{gi} * g.inodesPerGroup + 1;
    if (firstInode > g.inodeCount) {
      break;
    }
    if (control_.stopRequested() || !control_.checkpoint()) {
      control_.clearStop();
      break;
    }
    progress_.setStatus(format("parsing group %d  of %d ", static_cast<int>(gi + 1),
                               static_cast<int>(g.groupCount)));
    progress_.setPosition(gi + 1);
    const ExtGroup &group = groups[gi];
    const std::uint64_t inodesHere =
        std::min<std::uint64_t>(g.inodesPerGroup, g.inodeCount - firstInode + 1);
    inodesCovered_ = static_cast<std::uint32_t>(firstInode - 1 + inodesHere);
    // Groups whose checksummed descriptor says their table was never used need no reading, nor
    // does the never-used end of a table.
    std::uint64_t used = inodesHere;
    if (g.hasGroupChecksums()) {
      used = (group.flags & kBgInodeUninit) != 0
                 ? 0
                 : std::min<std::uint64_t>(
                       used, g.inodesPerGroup - std::min(group.unusedInodes, g.inodesPerGroup));
    }
    const std::uint64_t tableBytes = used * g.inodeSize;
    const std::uint64_t tableBlocks = (tableBytes + g.blockSize - 1) / g.blockSize;
    if (used == 0 || !g.validBlock(group.inodeTable) ||
        group.inodeTable + tableBlocks > g.readableBlocks || tableBytes > budget) {
      continue;
    }
    budget -= tableBytes;
    for (std::uint64_t done = 0; done < tableBytes;) {
      const std::uint64_t length = std::min(kTableChunk, tableBytes - done);
      chunk.assign(length, 0);
      if (!reader_.readAt(group.inodeTable * g.blockSize + done, chunk)) {
        done += length;
        continue; // an unreadable piece of the table costs its inodes
      }
      for (std::uint64_t at = 0; at + g.inodeSize <= length; at += g.inodeSize) {
        const Bytes raw = Bytes(chunk).subspan(at, g.inodeSize);
        const std::uint16_t mode = inodeMode(raw);
        if (mode == 0) {
          continue; // never used, or cleared
        }
        const auto index = static_cast<std::uint32_t>((done + at) / g.inodeSize);
        const auto number = static_cast<std::uint32_t>(firstInode + index);
        ExtNode node;
        node.key = std::int64_t{number} - 1;
        node.mode = mode;
        node.inodeMode = mode;
        node.size = inodeSize(raw);
        node.inodeTableBlock = group.inodeTable;
        node.indexInGroup = index;
        node.inode = number;
        node.entryInode = number;
        node.inUse = inodeInUse(raw);
        node.accessed = inodeTime(raw, kInodeAtime, kInodeAtimeExtra);
        node.changed = inodeTime(raw, kInodeCtime, kInodeCtimeExtra);
        node.modified = inodeTime(raw, kInodeMtime, kInodeMtimeExtra);
        nodeTable.push_back(std::move(node));
        if ((mode & kModeFormat) == kModeDirectory) {
          directories_.push_back(DirectoryInode{number, {raw.begin(), raw.end()}});
        }
      }
      done += length;
    }
  }
}

ExtNode *ext2Class::tableNode(std::uint32_t inode) {
  const std::int64_t key = std::int64_t{inode} - 1;
  const auto it = std::lower_bound(nodeTable.begin(), nodeTable.end(), key,
                                   [](const ExtNode &n, std::int64_t k) { return n.key < k; });
  return it != nodeTable.end() && it->key == key ? &*it : nullptr;
}

bool ext2Class::readCachedBlock(std::uint64_t block, std::vector<std::uint8_t> &out) {
  if (cachedBytes_.empty() || cachedBlock_ != block) {
    cachedBytes_.assign(geometry.blockSize, 0);
    if (!reader_.readAt(block * geometry.blockSize, cachedBytes_)) {
      cachedBytes_.clear();
      return false;
    }
    cachedBlock_ = block;
  }
  out = cachedBytes_;
  return true;
}

std::vector<std::uint8_t> ext2Class::readInode(std::uint32_t inode) {
  const ExtGeometry &g = geometry;
  if (inode == 0 || inode > g.inodeCount || g.inodesPerGroup == 0 || g.blockSize == 0) {
    return {};
  }
  const std::uint64_t group = (inode - 1) / g.inodesPerGroup;
  const std::uint64_t index = (inode - 1) % g.inodesPerGroup;
  if (group >= groups.size()) {
    return {};
  }
  const std::uint64_t byteInTable = index * g.inodeSize;
  const std::uint64_t block = groups[group].inodeTable + byteInTable / g.blockSize;
  if (!g.validBlock(groups[group].inodeTable) || !g.validBlock(block)) {
    return {};
  }
  // Inodes of one table block are usually saved one after another: the block is kept.
  std::vector<std::uint8_t> bytes;
  if (!readCachedBlock(block, bytes)) {
    return {};
  }
  const std::size_t within = byteInTable % g.blockSize;
  return {bytes.begin() + static_cast<std::ptrdiff_t>(within),
          bytes.begin() + static_cast<std::ptrdiff_t>(within + g.inodeSize)};
}

} // namespace quillon
