// The NTFS entry table as the tree shows it: the bounded walk over a folder's child chain, the
// top level under ROOT, and fillRootItems, which puts that top level into an ItemTree after a
// scan.
#pragma once

#include "core/item_tree.h"

#include <cstdint>
#include <vector>

namespace quillon {

class ntfs;

// Table indexes of a folder entry's children: its first child, then each next sibling while the
// link is greater than 0. Links outside the table end the chain, and an entry met twice ends it
// too, so a damaged chain never loops. stopAtEmptyName ends the walk at the first child without
// a name.
[[nodiscard]] std::vector<std::int64_t> ntfsChildIndexes(const ntfs &parser, std::int64_t folder,
                                                         bool stopAtEmptyName = false);

// The entries shown directly under ROOT: the root folder's children (not in deep mode, where
// the scan regroups everything under ORPHAN_ENTRY), then ORPHAN_ENTRY when the root's chain did
// not hold it. Empty when the volume has neither a root folder nor orphans.
[[nodiscard]] std::vector<std::int64_t> ntfsTopLevel(const ntfs &parser);

// Inserts the ROOT item (unless the tree already has one).
ItemHandle resetTree(ItemTree &tree);

// Puts the top level under ROOT: one item per entry (deleted entries with the deleted look),
// a placeholder under every folder that has children, then checks and expands ROOT.
void fillRootItems(ntfs &parser, ItemTree &tree);

} // namespace quillon
