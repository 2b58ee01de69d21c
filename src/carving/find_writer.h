// Writing carving finds to files. Each find becomes OUT/<category>/<its tree text>, holding the
// volume's bytes from the find's start for its size, cut at the end of the volume. Names are
// made safe first, so nothing is written outside the output folder.
#pragma once

#include "carving/carving_engine.h"
#include "core/item_tree.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;

// Folder of finds whose rule names no category (or a name that cannot be a folder name).
inline constexpr char kNoCategoryFolder[] = "No category";
inline constexpr char kSavingDoneText[] = "Saving process done";

enum class FindSelection {
  All,          // every find below the item
  CheckedOrAll, // the checked finds below the item; all of them when none is checked
};

struct FindWriteReport {
  std::uint64_t counted = 0; // finds chosen for writing
  std::uint64_t written = 0;
  std::uint64_t cut = 0; // finds cut short at the end of the volume
  std::vector<std::filesystem::path> paths;
  std::vector<std::string> failures; // one text per find that could not be written
  bool stopped = false;
};

// The finds below item (a run's top item, a category item or one find), in tree order.
[[nodiscard]] std::vector<ItemHandle> findItemsBelow(const myJpg &engine, const ItemTree &tree,
                                                     ItemHandle item, FindSelection selection);

// Writes the chosen finds below item into folder, reporting "Saving <name>" per find and the
// position among them, and stopping between reads when control asks. With endMessage the run
// ends with a message: "Saving process done", followed by the count of failures when any. A
// file left half-written by a stop is removed.
FindWriteReport writeFinds(const myJpg &engine, const ItemTree &tree, ItemHandle item,
                           VolumeBytes &volume, const std::filesystem::path &folder,
                           Progress &progress, WorkerControl &control, FindSelection selection,
                           bool endMessage);

} // namespace quillon
