// HFSP: the deep mode's scan of the whole volume for catalog leaf nodes. The volume is read in
// 50 MiB windows that overlap by one node, and every position a node can start at is tested.
// Nodes found where the catalog's own leaf chain lies are live; every other one (a freed node,
// a copy in the journal, an old catalog) holds records of deleted or older items.
#include "fs/hfsplus/hfs_layout.h"
#include "fs/hfsplus/hfsplus.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <unordered_set>

namespace quillon {

using namespace hfs;

namespace {

constexpr std::uint64_t kScanWindow = 52428800; // 50 MiB
// A leaf node holds at least one record and, at the smallest node size, never a thousand.
constexpr std::uint16_t kMaxScannedRecords = 1000;

// A leaf node whose first record starts right after its descriptor.
bool looksLikeLeaf(Bytes node) {
  const auto kind = static_cast<std::int8_t>(u8(node, kNodeKind));
  const std::uint16_t records = be16(node, kNodeNumRecords);
  return kind == kLeafNode && u8(node, kNodeHeight) != 0 &&
         be16(node, node.size() - 2) == kNodeDescriptorSize && records >= 1 &&
         records < kMaxScannedRecords;
}

} // namespace

bool HFSP::scanCatalogNodes() {
  nodePositionsAbsolute = true;
  const bool blockOk = validBlockSize(blockSize);
  // The node size comes from the catalog's header node; the catalog's leaf chain, when it can
  // be followed, tells which of the nodes found are live.
  const bool opened = blockOk && openBTree(catalog, kVhCatalogFork, kHfsCatalogFileId);
  const std::uint64_t nodeSize = blockOk ? catalog.nodeSize : 0;
  std::unordered_set<std::uint64_t> liveOffsets;
  if (opened) {
    listNodes(catalog);
    for (const BTreeNodeInfo &n : catalog.nodes) {
      if (n.kind == kLeafNode && n.live && n.offset != 0) {
        liveOffsets.insert(n.offset);
      }
    }
  }
  catalog.nodes.clear();
  // The volume's size in whole MiB, or the header's size when that is larger (the size text
  // drops the last part of a MiB), never past the end of the disk.
  std::uint64_t volumeBytes = volumeSizeMiB(volume_.volumeSizeText) << 20;
  if (blockOk) {
    volumeBytes = std::max(volumeBytes, std::uint64_t{totalBlocks} * blockSize);
  }
  volumeBytes = std::min(volumeBytes, diskBytes());
  const std::uint64_t volumeBlocks = blockOk ? volumeBytes / blockSize : 0;
  if (!blockOk || nodeSize == 0 || volumeBlocks == 0 || volumeBytes < nodeSize) {
    progress_.setStatus(kHfsBlockSizeInvalidText);
    return false;
  }
  // Nodes start on block boundaries, or on node boundaries when nodes are smaller than blocks.
  const std::uint64_t step = std::min(blockSize, nodeSize);
  progress_.setRange(0, volumeBlocks);
  std::vector<std::uint8_t> window(std::min(kScanWindow, volumeBytes) + nodeSize);
  for (std::uint64_t start = 0; start + nodeSize <= volumeBytes; start += kScanWindow) {
    if (!control_.checkpoint()) {
      break;
    }
    progress_.setPosition(start / blockSize);
    const std::uint64_t length = std::min<std::uint64_t>(window.size(), volumeBytes - start);
    std::fill(window.begin(), window.end(), std::uint8_t{0});
    (void)reader_.readAt(start, std::span(window).first(length));
    for (std::uint64_t pos = 0; pos < kScanWindow && pos + nodeSize <= length; pos += step) {
      const Bytes node = Bytes(window).subspan(pos, nodeSize);
      if (!looksLikeLeaf(node)) {
        continue;
      }
      BTreeNodeInfo info;
      info.offset = start + pos;
      info.nodeNumber = info.offset / nodeSize;
      info.kind = kLeafNode;
      info.height = u8(node, kNodeHeight);
      info.numRecords = be16(node, kNodeNumRecords);
      info.forwardLink = be32(node, kNodeForwardLink);
      info.recordOffsets = recordOffsets(node, info.numRecords);
      info.live = !opened || liveOffsets.contains(info.offset);
      info.scanned = true;
      catalog.nodes.push_back(std::move(info));
    }
  }
  catalog.nodeSize = static_cast<std::uint32_t>(nodeSize);
  control_.clearStop(); // a stop ends the scan; what was found is still shown
  return true;
}

} // namespace quillon
