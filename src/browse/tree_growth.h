// Lazy growth of the found-item tree and the detail list, as plain functions over an ItemTree and
// a file system's FsBrowser: what a label click, an expanding folder and a double-click do.
// A folder's children are inserted only when it is opened; until then a placeholder child gives
// it an expand button. Deleted children are drawn red when a label click grows the folder, not
// when expanding or a double-click does.
#pragma once

#include "browse/fs_browser.h"
#include "core/item_tree.h"

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

// One row of the detail list: the name and the five detail columns.
struct ListRow {
  std::array<std::string, 6> columns; // name, creation, access, modification, size, attributes
  ItemHandle item = kNoItem;          // the tree item the row shows (tree rows)
  ItemData record;                    // the record (search rows, which have no tree item)
};

// List column headers and widths, in order.
struct ListColumn {
  const char *header;
  int width;
};
inline constexpr std::array<ListColumn, 6> kListColumns = {{{"File(s) List", 80},
                                                            {"Creation Time", 90},
                                                            {"Access Time", 90},
                                                            {"Modification Time", 90},
                                                            {"Size", 80},
                                                            {"Attribute", 70}}};

struct GrowthStyle {
  bool redDeleted = false;      // give deleted children the deleted look
  bool stopAtEmptyName = false; // the walk ends at the first child without a name
};

// Inserts one item per child record under folder, in chain order; each folder child with
// children gets a placeholder. Returns the number of items inserted.
std::size_t populateFolder(FsBrowser &browser, ItemTree &tree, ItemHandle folder,
                           GrowthStyle style);

// Empties the tree and puts ROOT (checked and expanded) with the volume's top level into it, for
// parsers that have no top-level rule of their own. Returns ROOT.
ItemHandle fillTopLevel(FsBrowser &browser, ItemTree &tree);

// Inserts the item for one record under parent (with a placeholder when it is a folder with
// children).
ItemHandle insertRecordItem(FsBrowser &browser, ItemTree &tree, ItemHandle parent,
                            const ItemData &record, bool redDeleted);

// A row with every column filled from the record.
[[nodiscard]] ListRow detailRow(FsBrowser &browser, const ItemData &record, std::string name);

// Label click: grows a folder (deleted children red) and lists its files, or lists the clicked
// file. nullopt leaves the list as it was (an item of another parser, a folder without
// children, ROOT or a placeholder).
[[nodiscard]] std::optional<std::vector<ListRow>> labelClick(FsBrowser &browser, ItemTree &tree,
                                                             ItemHandle item);

// Expanding: a folder whose first child is the placeholder gets its real children.
void expanding(FsBrowser &browser, ItemTree &tree, ItemHandle item);

struct DoubleClickResult {
  std::optional<std::vector<ListRow>> rows; // a folder's file names (name column only)
  std::optional<SaveOutcome> saved;         // a file written into the output folder
};

// Double-click: a folder is grown (as Expanding) and its files are listed by name; a file is
// saved into outputFolder (or defaultOutputFolder() when that is empty).
[[nodiscard]] DoubleClickResult doubleClick(FsBrowser &browser, ItemTree &tree, ItemHandle item,
                                            const std::filesystem::path &outputFolder);

// A click on a list row's check box carries its state to the row's tree item, unless the list
// holds search results.
void listCheckClicked(ItemTree &tree, const ListRow &row, bool checked, bool searchResults);

// Where a file goes when no output folder was chosen: a folder under the temporary folder.
[[nodiscard]] std::filesystem::path defaultOutputFolder();

} // namespace quillon
