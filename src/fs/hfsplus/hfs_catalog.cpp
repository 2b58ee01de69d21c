// HFSP: catalog records into the CNID map, the first-child / next-sibling chains (children in
// descending CNID order), the tree's top level, the lookups the browse code uses, and the scan's
// steps in order.
#include "fs/hfsplus/hfs_layout.h"
#include "fs/hfsplus/hfsplus.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"

#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace quillon {

using namespace hfs;

namespace {

// How often the per-node progress and per-record status are refreshed.
constexpr std::size_t kProgressEvery = 256;
constexpr std::size_t kLinkStatusEvery = 1024;

// Longest name the catalog allows, in UTF-16 units.
constexpr std::size_t kMaxNameUnits = 255;

} // namespace

void HFSP::takeCatalogRecord(Bytes node, std::uint16_t offset, const BTreeNodeInfo &info) {
  const std::size_t keyLength = be16(node, offset);
  if (keyLength < kCatKeyMinLength || offset + 2 + keyLength > node.size()) {
    return;
  }
  const std::size_t nameUnits = be16(node, offset + kCatKeyNameLength);
  // A record without a name or whose name runs past its key is dropped.
  if (nameUnits == 0 || nameUnits > kMaxNameUnits ||
      kCatKeyNameLength + 2 * nameUnits > keyLength) {
    return;
  }
  const std::size_t at = offset + 2 + keyLength;
  const std::uint16_t recordType = be16(node, at);
  const std::size_t recordSize = recordType == kFolderRecord ? kFolderRecordSize
                                 : recordType == kFileRecord ? kFileRecordSize
                                                             : 0;
  if (recordSize == 0 || at + recordSize > node.size()) {
    return; // thread records, other types and records cut off by the offset table
  }
  const Bytes record = node.subspan(at, recordSize);
  const std::uint32_t cnid = be32(record, kRecId);
  if (cnid == 0 || nodeMap.contains(cnid)) {
    return; // the first record met of a CNID is kept
  }
  HfsNode n;
  n.kind = recordType;
  n.parentId = be32(node, offset + kCatKeyParent);
  n.cnid = cnid;
  n.name = nameText(node.subspan(offset + kCatKeyName, 2 * nameUnits));
  n.nodeOffset = info.offset;
  n.recordOffset = offset;
  n.createDate = be32(record, kRecCreateDate);
  n.contentModDate = be32(record, kRecContentModDate);
  n.attributeModDate = be32(record, kRecAttributeModDate);
  n.accessDate = be32(record, kRecAccessDate);
  n.ownerFlags = u8(record, kRecOwnerFlags);
  n.fileMode = be16(record, kRecFileMode);
  n.deleted = !info.live;
  if (recordType == kFileRecord) {
    n.special = be32(record, kRecSpecial);
    n.fileType = be32(record, kRecFileType);
    n.fileCreator = be32(record, kRecFileCreator);
    n.data = parseFork(record, kRecDataFork);
    n.resource = parseFork(record, kRecResourceFork);
    if (n.name.starts_with("iNode")) {
      inodeFiles_.emplace(n.name, cnid);
    }
  }
  nodeMap.emplace(cnid, std::move(n));
}

void HFSP::parseCatalogLeaves() {
  nodeMap.clear();
  inodeFiles_.clear();
  orphanId_.reset();
  const std::vector<const BTreeNodeInfo *> leaves = leavesLiveFirst(catalog);
  progress_.setRange(0, catalog.nodes.size());
  std::vector<std::uint8_t> node;
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    if (control_.stopRequested()) {
      break;
    }
    if (i % kProgressEvery == 0 || i + 1 == leaves.size()) {
      progress_.setPosition(i);
    }
    (void)readNode(catalog, *leaves[i], node);
    const Bytes area = recordArea(node, leaves[i]->numRecords);
    for (const std::uint16_t off : leaves[i]->recordOffsets) {
      takeCatalogRecord(area, off, *leaves[i]);
    }
  }
  control_.clearStop();
}

void HFSP::linkHfsChildren() {
  progress_.setStatus("Maintaining Parent Child....");
  for (auto &[cnid, node] : nodeMap) {
    node.firstChild = -1;
    node.nextSibling = -1;
  }
  const bool scanning = nodePositionsAbsolute;
  std::unordered_set<std::uint32_t> cycleBreakers;
  if (scanning && !nodeMap.empty() && nodeMap.rbegin()->first > 1) {
    // ORPHAN_ENTRY takes the CNID after the greatest one (or, at the very top, a free one).
    std::uint32_t id = nodeMap.rbegin()->first;
    if (id < std::numeric_limits<std::uint32_t>::max()) {
      ++id;
    } else {
      while (id > kHfsRootFolderId && nodeMap.contains(id)) {
        --id;
      }
    }
    if (!nodeMap.contains(id)) {
      HfsNode orphan;
      orphan.kind = kFolderRecord;
      orphan.parentId = kHfsRootFolderId;
      orphan.cnid = id;
      orphan.name = kHfsOrphanName;
      orphan.orphan = true;
      nodeMap.emplace(id, std::move(orphan));
      orphanId_ = id;
    }
    // Folders whose parent chain loops never reach ROOT; the node where the loop closes is
    // given to ORPHAN_ENTRY instead. Each node is walked once: 1 on the current path, 2 done.
    std::unordered_map<std::uint32_t, std::uint8_t> state;
    std::vector<std::uint32_t> path;
    for (const auto &[start, ignored] : nodeMap) {
      path.clear();
      for (std::uint32_t cur = start;;) {
        std::uint8_t &s = state[cur];
        if (s == 2) {
          break;
        }
        if (s == 1) {
          cycleBreakers.insert(cur);
          break;
        }
        s = 1;
        path.push_back(cur);
        const HfsNode &n = nodeMap.at(cur);
        const auto parent = nodeMap.find(n.parentId);
        if (cur == kHfsRootFolderId || n.parentId == kHfsRootFolderId || n.parentId == cur ||
            parent == nodeMap.end() || !parent->second.isFolder()) {
          break;
        }
        cur = n.parentId;
      }
      for (const std::uint32_t p : path) {
        state[p] = 2;
      }
    }
  }

  const std::size_t total = nodeMap.size();
  progress_.setRange(0, total);
  std::size_t k = 0;
  for (auto &[cnid, node] : nodeMap) {
    if (control_.stopRequested()) {
      break;
    }
    if (!scanning && (k % kLinkStatusEvery == 0 || k + 1 == total)) {
      progress_.setStatus(format("Maintaining Parent Child for record %d of %d....",
                                 static_cast<int>(k), static_cast<int>(total)));
      progress_.setPosition(k + 1);
    }
    ++k;
    if (node.orphan || (scanning && cnid == kHfsRootFolderId)) {
      continue; // ROOT's own folder is never placed below anything
    }
    HfsNode *parent = nullptr;
    if (const auto it = nodeMap.find(node.parentId); it != nodeMap.end() && it->second.isFolder() &&
                                                     node.parentId != cnid &&
                                                     !cycleBreakers.contains(cnid)) {
      parent = &it->second;
    } else if (scanning && node.parentId != kHfsRootFolderId && orphanId_) {
      parent = &nodeMap.at(*orphanId_); // the deep mode keeps what has no known folder
    }
    if (parent == nullptr) {
      continue; // a node whose parent is missing stays unlinked and is not shown
    }
    // Visiting in ascending CNID order and putting each node in front leaves every chain in
    // descending CNID order.
    node.nextSibling = parent->firstChild;
    parent->firstChild = cnid;
  }
  control_.clearStop();
}

const HfsNode *HFSP::findNode(std::uint32_t cnid) const {
  const auto it = nodeMap.find(cnid);
  return it == nodeMap.end() ? nullptr : &it->second;
}

std::vector<std::uint32_t> HFSP::topLevel() const {
  std::vector<std::uint32_t> ids;
  for (const auto &[cnid, node] : nodeMap) {
    if (node.parentId == kHfsRootFolderId && cnid != kHfsRootFolderId &&
        (node.isFolder() || node.isFile())) {
      ids.push_back(cnid);
    }
  }
  return ids;
}

std::vector<std::uint32_t> HFSP::childIds(std::uint32_t cnid) const {
  std::vector<std::uint32_t> ids;
  const HfsNode *folder = findNode(cnid);
  if (folder == nullptr || !folder->isFolder()) {
    return ids;
  }
  // linkHfsChildren never makes a loop; the bound keeps that a local fact.
  for (std::int64_t c = folder->firstChild; c > 0 && ids.size() < nodeMap.size();) {
    const HfsNode *child = findNode(static_cast<std::uint32_t>(c));
    if (child == nullptr) {
      break;
    }
    ids.push_back(child->cnid);
    c = child->nextSibling;
  }
  return ids;
}

void HFSP::fillHfsRootItems(ItemTree &tree) {
  tree.clear();
  const ItemHandle root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
  long long position = 0;
  for (const auto &[cnid, node] : nodeMap) {
    if (control_.stopRequested()) {
      break;
    }
    if (node.parentId == kHfsRootFolderId && cnid != kHfsRootFolderId &&
        (node.isFolder() || node.isFile())) {
      const ItemHandle item = tree.insert(
          root, node.name, node.isFolder() ? IconKind::Folder : IconKind::File, ItemData{cnid});
      tree.setDeletedLook(item, node.deleted);
      if (node.isFolder() && node.firstChild > 0) {
        tree.insertPlaceholder(item);
      }
      progress_.setStatus(node.isFolder() ? format("found folder at Node %lld", position)
                                          : format("found file at Node %lld", position));
    }
    ++position;
  }
  tree.setChecked(root, true);
  tree.setExpanded(root, true);
}

bool HFSP::scan(HfsScanMode mode) {
  nodeMap.clear();
  overflowIndex.clear();
  compressedFiles.clear();
  catalog = {};
  nodePositionsAbsolute = mode == HfsScanMode::Deep;
  attachVolume();
  bool ok = readVolumeHeader();
  if (ok && mode == HfsScanMode::Standard) {
    // The extents overflow comes first: the catalog file's own extents may continue there.
    ok = validBlockSize(blockSize) && listExtentsOverflow() && listCatalogNodes();
  } else if (ok) {
    // A damaged extents-overflow tree only costs the files that continue in it.
    if (validBlockSize(blockSize)) {
      (void)listExtentsOverflow();
    }
    ok = scanCatalogNodes();
  }
  if (!ok) {
    progress_.setStatus(kHfsScanAbortedText);
    return false;
  }
  parseCatalogLeaves();
  linkHfsChildren();
  listCompressedFiles();
  return true;
}

void HFSP::reportScanEnd() { progress_.setStatus(kHfsScanDoneText); }

} // namespace quillon
