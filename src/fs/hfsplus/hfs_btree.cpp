// HFSP: the B-tree files. A tree's nodes are read in file order through its fork (every extent,
// overflow extents included) and kept when they are of a known kind and hold records; the leaf
// chain from the header's first leaf tells which leaf nodes belong to the tree, so that records
// of freed nodes can be told from live ones. Also the extents-overflow index and the index of
// compressed files' attributes.
#include "fs/hfsplus/hfs_layout.h"
#include "fs/hfsplus/hfsplus.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace quillon {

using namespace hfs;

namespace {

// Bytes of a B-tree file read at once while its nodes are listed.
constexpr std::uint64_t kListChunk = 1 << 20;

constexpr bool knownKind(std::int8_t kind) { return kind >= kLeafNode && kind <= kMapNode; }

std::uint64_t runsLength(const std::vector<HfsRun> &runs) {
  return runs.empty() ? 0 : runs.back().forkOffset + runs.back().length;
}

// The volume offset of a fork offset, for the record of where a node lies.
std::uint64_t volumeOffsetOf(const std::vector<HfsRun> &runs, std::uint64_t forkOffset) {
  for (const HfsRun &r : runs) {
    if (forkOffset >= r.forkOffset && forkOffset - r.forkOffset < r.length) {
      return r.zeros ? 0 : r.volumeOffset + (forkOffset - r.forkOffset);
    }
  }
  return 0;
}

} // namespace

bool HFSP::openBTree(HfsBTree &tree, std::size_t headerOffset, std::uint32_t fileId) {
  tree = HfsBTree{};
  tree.fork = parseFork(volumeHeader, headerOffset);
  tree.runs = forkRuns(tree.fork, fileId, kHfsDataFork);
  const std::uint64_t length = runsLength(tree.runs);
  if (length < kMinNodeSize) {
    return false;
  }
  // The header record lies in the first 512 bytes of node 0, whatever the node size.
  std::vector<std::uint8_t> head(kMinNodeSize, 0);
  (void)readFork(tree.runs, 0, head);
  const auto kind = static_cast<std::int8_t>(u8(head, kNodeKind));
  const std::uint16_t nodeSize = be16(head, kHeaderNodeSize);
  if (!knownKind(kind) || !validNodeSize(nodeSize) || nodeSize > length) {
    return false;
  }
  tree.nodeSize = nodeSize;
  // Never more nodes than the fork holds.
  tree.totalNodes = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(be32(head, kHeaderTotalNodes), length / nodeSize));
  tree.firstLeafNode = be32(head, kHeaderFirstLeaf);
  tree.lastLeafNode = be32(head, kHeaderLastLeaf);
  return tree.totalNodes != 0;
}

void HFSP::listNodes(HfsBTree &tree) {
  tree.nodes.clear();
  const std::uint64_t nodeSize = tree.nodeSize;
  if (nodeSize == 0) {
    return;
  }
  const std::uint64_t blocksPerNode = std::max<std::uint64_t>(1, nodeSize / blockSize);
  progress_.setRange(0, blocksPerNode * tree.totalNodes);
  const std::uint64_t chunkNodes = std::max<std::uint64_t>(1, kListChunk / nodeSize);
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t first = 0; first < tree.totalNodes; first += chunkNodes) {
    if (!control_.checkpoint()) {
      break;
    }
    const std::uint64_t count = std::min<std::uint64_t>(chunkNodes, tree.totalNodes - first);
    chunk.assign(count * nodeSize, 0);
    (void)readFork(tree.runs, first * nodeSize, chunk);
    progress_.setPosition(first * blocksPerNode);
    for (std::uint64_t i = 0; i < count; ++i) {
      const Bytes node = Bytes(chunk).subspan(i * nodeSize, nodeSize);
      const auto kind = static_cast<std::int8_t>(u8(node, kNodeKind));
      const std::uint16_t numRecords = be16(node, kNodeNumRecords);
      if (!knownKind(kind) || numRecords == 0) {
        continue;
      }
      BTreeNodeInfo info;
      info.nodeNumber = first + i;
      info.offset = volumeOffsetOf(tree.runs, info.nodeNumber * nodeSize);
      info.kind = kind;
      info.height = u8(node, kNodeHeight);
      info.numRecords = numRecords;
      info.forwardLink = be32(node, kNodeForwardLink);
      info.recordOffsets = recordOffsets(node, numRecords);
      tree.nodes.push_back(std::move(info));
    }
  }
  markLeafChain(tree);
}

void HFSP::markLeafChain(HfsBTree &tree) {
  std::unordered_map<std::uint64_t, const BTreeNodeInfo *> leaves;
  for (const BTreeNodeInfo &n : tree.nodes) {
    if (n.kind == kLeafNode) {
      leaves.emplace(n.nodeNumber, &n);
    }
  }
  // Follow the forward links; a link that loops, leaves the tree or names a node that is not a
  // kept leaf means the chain cannot be trusted.
  std::unordered_set<std::uint64_t> chain;
  bool whole = tree.firstLeafNode != 0;
  std::uint64_t last = 0;
  for (std::uint64_t n = tree.firstLeafNode; n != 0 && whole;) {
    const auto it = leaves.find(n);
    if (n >= tree.totalNodes || it == leaves.end() || !chain.insert(n).second) {
      whole = false;
      break;
    }
    last = n;
    n = it->second->forwardLink;
  }
  whole = whole && last == tree.lastLeafNode;
  for (BTreeNodeInfo &n : tree.nodes) {
    n.live = !whole || chain.contains(n.nodeNumber);
  }
}

bool HFSP::readNode(const HfsBTree &tree, const BTreeNodeInfo &info,
                    std::vector<std::uint8_t> &node) {
  node.assign(tree.nodeSize, 0);
  if (info.scanned) {
    return reader_.readAt(info.offset, node);
  }
  return readFork(tree.runs, info.nodeNumber * tree.nodeSize, node);
}

std::vector<const BTreeNodeInfo *> HFSP::leavesLiveFirst(const HfsBTree &tree) const {
  std::vector<const BTreeNodeInfo *> out;
  for (const bool live : {true, false}) {
    for (const BTreeNodeInfo &n : tree.nodes) {
      if (n.kind == kLeafNode && n.live == live) {
        out.push_back(&n);
      }
    }
  }
  return out;
}

bool HFSP::listCatalogNodes() {
  if (!validBlockSize(blockSize)) {
    return false;
  }
  if (!openBTree(catalog, kVhCatalogFork, kHfsCatalogFileId)) {
    return false;
  }
  listNodes(catalog);
  control_.clearStop(); // a stop ends the listing; what was found is still shown
  return true;
}

bool HFSP::listExtentsOverflow() {
  overflowIndex.clear();
  if (!openBTree(extentsOverflow, kVhExtentsFork, kHfsExtentsFileId)) {
    return false;
  }
  listNodes(extentsOverflow);
  const std::vector<const BTreeNodeInfo *> leaves = leavesLiveFirst(extentsOverflow);
  std::vector<std::uint8_t> node;
  for (std::size_t i = 0; i < leaves.size() && !control_.stopRequested(); ++i) {
    progress_.setPosition(i);
    const BTreeNodeInfo &info = *leaves[i];
    (void)readNode(extentsOverflow, info, node);
    const Bytes area = recordArea(node, info.numRecords);
    for (const std::uint16_t off : info.recordOffsets) {
      // Only whole records with the format's key length.
      if (be16(area, off) != kExtKeyLength ||
          off + kExtRecordExtents + kExtentsPerRecord * 8 > area.size()) {
        continue;
      }
      HfsOverflowRecord record;
      record.nodeNumber = info.nodeNumber;
      record.nodeOffset = info.offset;
      record.recordOffset = off;
      for (std::size_t e = 0; e < kExtentsPerRecord; ++e) {
        const std::size_t at = off + kExtRecordExtents + 8 * e;
        record.extents[e] = {be32(area, at), be32(area, at + 4)};
      }
      const HfsOverflowKey key{be32(area, off + kExtKeyFileId), u8(area, off + kExtKeyForkType),
                               be32(area, off + kExtKeyStartBlock)};
      overflowIndex.emplace(key, record); // the first met (a live node's) is kept
    }
  }
  control_.clearStop();
  return true;
}

void HFSP::listCompressedFiles() {
  compressedFiles.clear();
  if (std::none_of(nodeMap.begin(), nodeMap.end(),
                   [](const auto &entry) { return entry.second.isCompressed(); }) ||
      !openBTree(attributes, kVhAttributesFork, kHfsAttributesFileId)) {
    return;
  }
  listNodes(attributes);
  static constexpr std::u16string_view kName = u"com.apple.decmpfs";
  std::vector<std::uint8_t> node;
  for (const BTreeNodeInfo *info : leavesLiveFirst(attributes)) {
    if (control_.stopRequested()) {
      break;
    }
    (void)readNode(attributes, *info, node);
    const Bytes area = recordArea(node, info->numRecords);
    for (const std::uint16_t off : info->recordOffsets) {
      const std::size_t keyLength = be16(area, off);
      const std::size_t nameLength = be16(area, off + kAttrKeyNameLength);
      if (nameLength != kName.size() || keyLength < kAttrKeyName - 2 + 2 * nameLength) {
        continue;
      }
      bool named = true;
      for (std::size_t i = 0; i < nameLength && named; ++i) {
        named = be16(area, off + kAttrKeyName + 2 * i) == kName[i];
      }
      const std::size_t record = off + 2 + keyLength;
      if (!named || be32(area, record) != kAttrInlineRecord) {
        continue;
      }
      const std::size_t dataOffset = record + kAttrInlineData;
      const std::uint32_t length = be32(area, record + kAttrInlineSize);
      // The attribute must lie inside the node and hold the 16-byte header.
      if (length < 16 || dataOffset > area.size() || area.size() - dataOffset < length ||
          !hasBytes(area, dataOffset, "fpmc")) {
        continue;
      }
      HfsCompression c;
      c.type = le32(node, dataOffset + 4);
      c.size = le64(node, dataOffset + 8);
      c.nodeNumber = info->nodeNumber;
      c.dataOffset = static_cast<std::uint16_t>(dataOffset);
      c.dataLength = length;
      compressedFiles.emplace(be32(area, off + kAttrKeyFileId), c);
    }
  }
  control_.clearStop();
}

} // namespace quillon
