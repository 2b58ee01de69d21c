// ext2Class: the node map (named nodes by key, with the synthetic ROOT under key 2), the
// first-child / next-sibling chains in descending inode order, the tree's top level, the
// lookups the browse code uses, and the scan's steps in order.
#include "fs/ext/ext2.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"

#include <algorithm>

namespace quillon {

namespace {

// How often the per-record status of the linking step is refreshed.
constexpr std::size_t kLinkStatusEvery = 1024;

} // namespace

void ext2Class::buildNodeMap() {
  progress_.setStatus("clearing vector....");
  nodeMap.clear();
  for (ExtNode &node : nodeTable) {
    if (node.named) {
      const std::int64_t key = node.key;
      nodeMap.insert_or_assign(key, std::move(node));
    }
  }
  ExtNode root;
  root.name = kRootItemText;
  root.named = true;
  root.key = kExtRootKey;
  root.parentKey = -1;
  root.mode = 0x4000;
  nodeMap.insert_or_assign(kExtRootKey, std::move(root));
  nodeTable.clear();
  nodeTable.shrink_to_fit();
}

void ext2Class::linkChildren() {
  progress_.setStatus("Maintaining Parent Child....");
  const std::size_t total = nodeMap.size();
  progress_.setRange(0, total);
  for (auto &[key, node] : nodeMap) {
    node.firstChildKey = -1;
    node.nextSiblingKey = -1;
  }
  // Each node goes in front of its parent's chain; visiting in ascending inode order leaves
  // every chain in descending inode order. A deleted name sorts by the inode it named.
  std::vector<std::pair<std::int64_t, std::int64_t>> order; // (inode - 1, key)
  order.reserve(total);
  for (const auto &[key, node] : nodeMap) {
    order.emplace_back(std::int64_t{node.entryInode} - 1, key);
  }
  std::sort(order.begin(), order.end());
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (control_.stopRequested()) {
      return; // the flag stays set
    }
    if (k % kLinkStatusEvery == 0 || k + 1 == order.size()) {
      progress_.setStatus(format("Maintaining Parent Child for record %d of %d....",
                                 static_cast<int>(k), static_cast<int>(total)));
      progress_.setPosition(k + 1);
    }
    ExtNode &node = nodeMap.at(order[k].second);
    if (node.parentKey <= 0 || node.parentKey == node.key) {
      continue;
    }
    const auto parent = nodeMap.find(node.parentKey);
    if (parent == nodeMap.end()) {
      continue; // a broken parent chain: the node stays unlinked and is not shown
    }
    node.nextSiblingKey = parent->second.firstChildKey;
    parent->second.firstChildKey = node.key;
  }
}

const ExtNode *ext2Class::findNode(std::int64_t key) const {
  const auto it = nodeMap.find(key);
  return it == nodeMap.end() ? nullptr : &it->second;
}

const ExtNode *ext2Class::firstChild(const ExtNode &node) const {
  return node.firstChildKey < 0 ? nullptr : findNode(node.firstChildKey);
}

const ExtNode *ext2Class::nextSibling(const ExtNode &node) const {
  return node.nextSiblingKey < 0 ? nullptr : findNode(node.nextSiblingKey);
}

std::vector<std::int64_t> ext2Class::childKeys(std::int64_t key) const {
  std::vector<std::int64_t> keys;
  const ExtNode *folder = findNode(key);
  if (folder == nullptr) {
    return keys;
  }
  // linkChildren never makes a loop; the bound keeps that a local fact.
  for (const ExtNode *c = firstChild(*folder); c != nullptr && keys.size() < nodeMap.size();
       c = nextSibling(*c)) {
    keys.push_back(c->key);
  }
  return keys;
}

void ext2Class::fillRootItems(ItemTree &tree) {
  progress_.setStatus("filling root entries in  tree....");
  tree.clear();
  const ItemHandle root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
  for (const std::int64_t key : childKeys(kExtRootKey)) {
    const ExtNode &node = nodeMap.at(key);
    if (node.name.empty() || (!node.isFolder() && !node.isFile())) {
      continue;
    }
    const ItemHandle item =
        tree.insert(root, node.name, node.isFolder() ? IconKind::Folder : IconKind::File, key);
    if (node.deleted) {
      tree.setDeletedLook(item, true);
    }
    if (node.isFolder() && node.firstChildKey >= 0) {
      tree.insertPlaceholder(item);
    }
  }
  tree.setChecked(root, true);
  tree.setExpanded(root, true);
}

bool ext2Class::standardScan() {
  if (!attachReader() || geometry.volumeSize == 0 || !findSuperblock() || !readGroupDescriptors()) {
    return false;
  }
  readInodeTables();
  parseDirectories();
  buildNodeMap();
  linkChildren();
  return true;
}

void ext2Class::reportScanEnd() {
  progress_.setStatus("Processing done...");
  progress_.inform("done..");
}

} // namespace quillon
