// Looking records up by a path of names below ROOT and listing what lies below a folder, for
// the command line's ls, save and search. Paths are names joined with '/', relative to ROOT;
// "" and "/" are ROOT itself.
#pragma once

#include "browse/fs_browser.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class WorkerControl;

struct ListedEntry {
  ItemData record;
  EntryInfo info;
  std::vector<std::string> path; // names from below ROOT down to the entry
  bool orphan = false;           // found below the orphan folder
};

// Splits "Docs/sub/a.txt" into its names; empty names (doubled or outer slashes) are dropped.
[[nodiscard]] std::vector<std::string> splitPath(std::string_view path);
[[nodiscard]] std::string joinPath(const std::vector<std::string> &names);

// Every record the names lead to from ROOT, in walk order (two entries of one folder may share
// a name, e.g. a deleted and a live one). ROOT itself for no names; empty when nothing matches.
[[nodiscard]] std::vector<ListedEntry> findPath(FsBrowser &browser,
                                                const std::vector<std::string> &names);

// Calls onEntry for each record directly inside folder, or with recursive for every record
// below it, folders before their contents. Each folder is entered at most once and never deeper
// than kMaxFolderDepth. Returns false when control was stopped.
bool listBelow(FsBrowser &browser, const ListedEntry &folder, bool recursive,
               WorkerControl *control, const std::function<void(const ListedEntry &)> &onEntry);

} // namespace quillon
