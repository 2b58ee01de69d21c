// The name search of the scan page: every file below ROOT whose name matches a regular
// expression (ECMAScript grammar, case-sensitive, matching any part of the name) is reported
// with its path. It walks the parser's tables, not the tree's items, so it finds files in
// folders never opened. It runs on a worker: every step polls the WorkerControl (stop, pause).
#pragma once

#include "browse/fs_browser.h"
#include "core/item_tree.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;

inline constexpr char kSearchLabelText[] = "* Use \"|\" to find multiple file type ";
inline constexpr char kInvalidPatternText[] =
    "such characters are not allowed for search.Try again with different pattern.";
inline constexpr char kSearchFinishedText[] = "Searching Finished";

struct SearchHit {
  ItemData record;
  // Names from below ROOT down to the file ("Docs", "a.txt").
  std::vector<std::string> path;
};

struct SearchReport {
  bool invalidPattern = false;
  std::string error; // why the pattern does not compile
  std::uint64_t rows = 0;
  bool stopped = false;
};

// Why the pattern is not a valid expression; nullopt when it is.
[[nodiscard]] std::optional<std::string> patternError(std::string_view pattern);

// True when the pattern matches any part of the name. A pattern that does not compile matches
// nothing.
[[nodiscard]] bool nameMatches(std::string_view pattern, std::string_view name);

struct SearchOptions {
  // The page's Stop ends only the walk of the current top-level folder; the command line ends
  // the whole search.
  bool stopEndsSearch = false;
};

// Searches below the tree's ROOT item: each top-level item with children is searched as a
// folder, each without children is matched by its own name. onHit receives every match in walk
// order. An empty pattern finds nothing; an invalid one shows the invalid-pattern message and
// ends the search. "Searching Finished" is shown at the end unless the pattern was invalid.
SearchReport searchTree(FsBrowser &browser, const ItemTree &tree, std::string_view pattern,
                        Progress &progress, WorkerControl &control,
                        const std::function<void(const SearchHit &)> &onHit,
                        SearchOptions options = {});

// Joins a hit's path for the list: "ROOT\Docs\a.txt".
[[nodiscard]] std::string displayPath(const SearchHit &hit, const std::string &rootText);

} // namespace quillon
