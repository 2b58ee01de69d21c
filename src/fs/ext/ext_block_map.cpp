// ext2Class: where an inode's data lies. Classic block maps (12 direct pointers, then single,
// double and triple indirect blocks), extent trees of any depth with 48-bit block numbers and
// uninitialised extents, and data kept in the inode itself (inline data, fast symbolic links).
// A zero pointer or a gap between extents is a hole. Every walk is bounded by the blocks the
// file's size needs, by the blocks the volume has, and by a visited set of tree blocks.
#include "fs/ext/ext2.h"

#include "disk/reader.h"
#include "fs/ext/ext_layout.h"

#include <algorithm>
#include <unordered_set>

namespace quillon {

using namespace ext;

namespace {

// Extents kept for one file at most; a sound tree of that many needs gigabytes of index blocks.
constexpr std::size_t kMaxExtents = std::size_t{1} << 22;

// Appends a run of data blocks, joining it to the previous run when both continue each other.
void appendRun(std::vector<Extent> &out, std::uint64_t logical, std::uint64_t physical,
               std::uint64_t count, bool zeros) {
  if (!out.empty()) {
    Extent &last = out.back();
    if (last.zeros == zeros && last.logical + last.count == logical &&
        (zeros || last.physical + last.count == physical)) {
      last.count += count;
      return;
    }
  }
  out.push_back(Extent{logical, physical, count, zeros});
}

// Sorts the runs by logical block and cuts away what overlaps an earlier run.
void normalise(std::vector<Extent> &extents) {
  std::stable_sort(extents.begin(), extents.end(),
                   [](const Extent &a, const Extent &b) { return a.logical < b.logical; });
  std::vector<Extent> out;
  out.reserve(extents.size());
  std::uint64_t end = 0;
  for (Extent e : extents) {
    if (e.logical < end) {
      const std::uint64_t overlap = end - e.logical;
      if (overlap >= e.count) {
        continue;
      }
      e.logical += overlap;
      e.count -= overlap;
      if (!e.zeros) {
        e.physical += overlap;
      }
    }
    end = e.logical + e.count;
    out.push_back(e);
  }
  extents = std::move(out);
}

// The value of the in-inode extended attribute "system.data" (the part of inline data beyond
// the 60 bytes of i_block); empty when there is none.
Bytes systemData(Bytes inode) {
  const std::size_t start = kGoodOldInodeSize + le16(inode, kInodeExtraIsize);
  if (inode.size() <= kGoodOldInodeSize || start + 4 > inode.size() ||
      le32(inode, start) != kXattrMagic) {
    return {};
  }
  const std::size_t first = start + 4; // value offsets count from the first entry
  std::size_t at = first;
  while (at + 16 <= inode.size() && le32(inode, at) != 0) {
    const std::size_t nameLength = u8(inode, at);
    const std::size_t next = at + align4(16 + nameLength);
    if (next > inode.size()) {
      break;
    }
    if (u8(inode, at + 1) == kXattrIndexSystem && hasBytes(inode, at + 16, "data") &&
        nameLength == 4 && le32(inode, at + 4) == 0) {
      const std::size_t offset = first + le16(inode, at + 2);
      const std::size_t size = le32(inode, at + 8);
      if (offset <= inode.size() && size <= inode.size() - offset) {
        return inode.subspan(offset, size);
      }
      return {};
    }
    at = next;
  }
  return {};
}

} // namespace

namespace ext {

std::pair<Bytes, Bytes> inlineRegions(Bytes inode) {
  return {
      inode.subspan(std::min(inode.size(), kInodeBlock),
                    std::min(kInodeBlockBytes, inode.size() - std::min(inode.size(), kInodeBlock))),
      systemData(inode)};
}

} // namespace ext

std::vector<std::uint8_t> ext2Class::inlineData(Bytes inode, std::uint64_t size) const {
  const auto [head, rest] = inlineRegions(inode);
  std::vector<std::uint8_t> out(
      head.begin(),
      head.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(size, head.size())));
  if (size > head.size()) {
    const std::uint64_t more = std::min<std::uint64_t>(size - head.size(), rest.size());
    out.insert(out.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(more));
  }
  return out;
}

ext::DataMap ext2Class::mapData(Bytes inode) {
  DataMap map;
  const ExtGeometry &g = geometry;
  if (g.blockSize == 0) {
    return map;
  }
  const std::uint64_t size = inodeSize(inode);
  const std::uint32_t flags = inodeFlags(inode);
  const std::uint16_t mode = inodeMode(inode);
  if ((flags & kFlagInlineData) != 0) {
    map.inlineData = true;
    map.inlineBytes = inlineData(inode, size);
    return map;
  }
  // A short symbolic link keeps its target in i_block.
  if ((mode & kModeFormat) == kModeSymlink && size > 0 && size < kInodeBlockBytes &&
      (flags & kFlagExtents) == 0) {
    map.inlineData = true;
    map.inlineBytes = inlineData(inode, size);
    return map;
  }
  const std::uint64_t neededBlocks = size / g.blockSize + (size % g.blockSize != 0 ? 1 : 0);
  // A file owns at most as many blocks as the volume has.
  std::uint64_t budget = g.readableBlocks;
  if ((flags & kFlagExtents) != 0) {
    collectExtents(inode, neededBlocks, budget, map.extents);
  } else {
    collectBlockMap(inode, neededBlocks, budget, map.extents);
  }
  normalise(map.extents);
  return map;
}

void ext2Class::collectBlockMap(Bytes inode, std::uint64_t neededBlocks, std::uint64_t &budget,
                                std::vector<Extent> &out) {
  const ExtGeometry &g = geometry;
  const std::uint64_t perBlock = g.blockSize / 4;
  const std::uint64_t spans[4] = {1, 1, perBlock, perBlock * perBlock};
  neededBlocks = std::min(neededBlocks, 12 + perBlock + spans[3] + spans[3] * perBlock);
  const auto addBlock = [&](std::uint64_t logical, std::uint64_t physical) {
    // A pointer outside the volume cannot be read: it stays a hole, so later data keeps its
    // offset.
    if (!g.validBlock(physical) || budget == 0) {
      return;
    }
    --budget;
    appendRun(out, logical, physical, 1, false);
  };
  const Bytes pointers = inode.subspan(std::min(inode.size(), kInodeBlock));
  for (std::uint64_t i = 0; i < 12 && i < neededBlocks; ++i) {
    addBlock(i, le32(pointers, 4 * i));
  }
  struct Frame {
    std::vector<std::uint8_t> block;
    unsigned level = 1; // 1: pointers to data blocks
    std::uint64_t base = 0;
    std::uint64_t next = 0;
  };
  std::unordered_set<std::uint64_t> visited;
  std::uint64_t base = 12;
  for (unsigned level = 1; level <= 3 && base < neededBlocks; ++level) {
    const std::uint64_t covered = spans[level] * perBlock;
    const std::uint32_t root = le32(pointers, 4 * (11 + level));
    std::vector<Frame> stack;
    const auto enter = [&](std::uint64_t block, unsigned lvl, std::uint64_t first) {
      // An indirect block met twice, or one outside the volume, is a hole.
      if (!g.validBlock(block) || !visited.insert(block).second) {
        return;
      }
      Frame f{std::vector<std::uint8_t>(g.blockSize), lvl, first, 0};
      if (!reader_.readAt(block * g.blockSize, f.block)) {
        return;
      }
      stack.push_back(std::move(f));
    };
    enter(root, level, base);
    while (!stack.empty()) {
      Frame &f = stack.back();
      const std::uint64_t logical = f.base + f.next * spans[f.level];
      if (f.next >= perBlock || logical >= neededBlocks || budget == 0) {
        stack.pop_back();
        continue;
      }
      const std::uint32_t pointer = le32(f.block, 4 * f.next);
      ++f.next;
      if (pointer == 0) {
        continue;
      }
      if (f.level == 1) {
        addBlock(logical, pointer);
      } else {
        enter(pointer, f.level - 1, logical); // may grow the stack: f is not used after this
      }
    }
    base += covered;
  }
}

void ext2Class::collectExtents(Bytes inode, std::uint64_t neededBlocks, std::uint64_t &budget,
                               std::vector<Extent> &out) {
  const ExtGeometry &g = geometry;
  struct Node {
    std::vector<std::uint8_t> bytes;
    int depth = 0;
  };
  // The header must carry the magic, hold its entries within the node, and (below the root) sit
  // at the depth its parent gives.
  const auto validHeader = [](Bytes node, int expectedDepth) {
    if (node.size() < kExtentHeaderSize || le16(node, 0) != kExtentMagic) {
      return false;
    }
    const std::size_t entries = le16(node, 2);
    const int depth = le16(node, 6);
    return entries <= (node.size() - kExtentHeaderSize) / kExtentEntrySize &&
           depth <= kMaxExtentDepth && (expectedDepth < 0 || depth == expectedDepth);
  };
  const Bytes root =
      inode.subspan(std::min(inode.size(), kInodeBlock),
                    std::min(kInodeBlockBytes, inode.size() - std::min(inode.size(), kInodeBlock)));
  if (!validHeader(root, -1)) {
    return;
  }
  std::vector<Node> stack;
  stack.push_back(Node{{root.begin(), root.end()}, le16(root, 6)});
  std::unordered_set<std::uint64_t> visited;
  while (!stack.empty() && out.size() < kMaxExtents) {
    const Node node = std::move(stack.back());
    stack.pop_back();
    const std::size_t entries = le16(node.bytes, 2);
    for (std::size_t i = 0; i < entries && out.size() < kMaxExtents; ++i) {
      const std::size_t at = kExtentHeaderSize + i * kExtentEntrySize;
      const std::uint64_t logical = le32(node.bytes, at);
      if (logical >= neededBlocks) {
        continue;
      }
      if (node.depth > 0) {
        const std::uint64_t child =
            le32(node.bytes, at + 4) | (std::uint64_t{le16(node.bytes, at + 8)} << 32);
        // A node met twice (a tree that points back into itself) is read once.
        if (!g.validBlock(child) || !visited.insert(child).second) {
          continue;
        }
        Node next{std::vector<std::uint8_t>(g.blockSize), node.depth - 1};
        if (reader_.readAt(child * g.blockSize, next.bytes) &&
            validHeader(next.bytes, node.depth - 1)) {
          stack.push_back(std::move(next));
        }
        continue;
      }
      std::uint64_t length = le16(node.bytes, at + 4);
      const bool uninitialised = length > kInitialisedExtentMax;
      if (uninitialised) {
        length -= kInitialisedExtentMax;
      }
      length = std::min(length, neededBlocks - logical);
      const std::uint64_t start =
          le32(node.bytes, at + 8) | (std::uint64_t{le16(node.bytes, at + 6)} << 32);
      if (length == 0) {
        continue;
      }
      if (uninitialised) {
        out.push_back(Extent{logical, 0, length, true});
        continue;
      }
      // Blocks beyond the volume, or beyond what a file can own, stay holes.
      if (!g.validBlock(start) || start + length > g.readableBlocks || budget == 0) {
        continue;
      }
      length = std::min(length, budget);
      budget -= length;
      out.push_back(Extent{logical, start, length, false});
    }
  }
}

} // namespace quillon
