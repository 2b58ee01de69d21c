// The NTFS folder tree's top level and child chains.
#include "fs/ntfs/ntfs_tree.h"

#include "fs/ntfs/ntfs.h"

#include <algorithm>
#include <unordered_set>

namespace quillon {

namespace {

bool validIndex(const ntfs &parser, std::int64_t index) {
  return index >= 0 && static_cast<std::uint64_t>(index) < parser.entries.size();
}

} // namespace

std::vector<std::int64_t> ntfsChildIndexes(const ntfs &parser, std::int64_t folder,
                                           bool stopAtEmptyName) {
  std::vector<std::int64_t> out;
  if (!validIndex(parser, folder)) {
    return out;
  }
  // The parser's walk is bounded by the table size; an entry met twice still ends the chain
  // here, so a damaged chain never shows an entry twice.
  std::unordered_set<std::int64_t> seen;
  for (const std::int64_t child : parser.children(folder)) {
    if (!validIndex(parser, child) || !seen.insert(child).second) {
      break;
    }
    if (stopAtEmptyName && parser.entries[static_cast<std::size_t>(child)].name.empty()) {
      break;
    }
    out.push_back(child);
  }
  return out;
}

std::vector<std::int64_t> ntfsTopLevel(const ntfs &parser) {
  std::vector<std::int64_t> top;
  const bool orphanFolder = validIndex(parser, parser.orphanIndex);
  if (validIndex(parser, parser.rootIndex)) {
    if (parser.mode != NtfsMode::Deep) {
      top = ntfsChildIndexes(parser, parser.rootIndex);
    }
  } else if (!orphanFolder ||
             parser.entries[static_cast<std::size_t>(parser.orphanIndex)].firstChild == 0) {
    // Without a root folder only the orphan folder can be shown, and only when it holds
    // something: a volume whose root record is lost still shows what the scan placed there.
    return top;
  }
  if (orphanFolder && std::find(top.begin(), top.end(), parser.orphanIndex) == top.end()) {
    top.push_back(parser.orphanIndex);
  }
  return top;
}

ItemHandle resetTree(ItemTree &tree) {
  if (const ItemHandle root = tree.rootItem(); root != kNoItem) {
    return root;
  }
  return tree.insert(kNoItem, kRootItemText, IconKind::Folder);
}

void fillRootItems(ntfs &parser, ItemTree &tree) {
  const ItemHandle root = resetTree(tree);
  for (const std::int64_t index : ntfsTopLevel(parser)) {
    const NtfsEntry &e = parser.entries[static_cast<std::size_t>(index)];
    const ItemHandle item =
        tree.insert(root, e.name, e.isFolder() ? IconKind::Folder : IconKind::File, index);
    if (!e.inUse()) {
      tree.setDeletedLook(item, true);
    }
    if (e.isFolder() && e.firstChild != 0) {
      tree.insertPlaceholder(item);
    }
  }
  tree.setChecked(root, true);
  tree.setExpanded(root, true);
}

} // namespace quillon
