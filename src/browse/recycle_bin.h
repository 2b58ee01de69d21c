// Recycle Bin names: a file deleted to the Windows Recycle Bin is kept as "$R<id>.<ext>" beside an
// index file "$I<id>.<ext>" that records the path it had. After a scan the data files get back
// the names they had, so that the list and saved copies show them.
#pragma once

#include "browse/fs_browser.h"
#include "core/byte_order.h"
#include "core/item_tree.h"

#include <cstddef>
#include <optional>
#include <string>

namespace quillon {

// Index files larger than this are not read.
inline constexpr std::size_t kMaxRecycleIndexBytes = 2047;

// The name (the part after the last backslash) of the path an index file records, or nullopt
// when the bytes hold none. Both layouts are read: version 1 keeps a zero-terminated UTF-16 path
// at byte 24; version 2 keeps its length in characters at byte 24 and the path from byte 28.
[[nodiscard]] std::optional<std::string> recycleBinOriginalName(Bytes indexFile);

// For each top-level "$RECYCLE.BIN" or "$RECYCLEBIN" folder item of the tree: in each folder
// directly inside it (one per user), every "$R..." record whose "$I..." index file names an
// original path is renamed to that name. Tree texts stay as they are. Returns the number of
// records renamed.
std::size_t renameRecycleBinFiles(FsBrowser &browser, const ItemTree &tree);

} // namespace quillon
