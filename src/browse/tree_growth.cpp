// Tree growth and list rows for the three tree events.
#include "browse/tree_growth.h"

#include <unistd.h>

namespace quillon {

ItemHandle insertRecordItem(FsBrowser &browser, ItemTree &tree, ItemHandle parent,
                            const ItemData &record, bool redDeleted) {
  const EntryInfo info = browser.info(record);
  const ItemHandle item =
      tree.insert(parent, info.name, info.folder ? IconKind::Folder : IconKind::File, record);
  if (redDeleted && info.deleted) {
    tree.setDeletedLook(item, true);
  }
  if (info.folder && info.hasChildren) {
    tree.insertPlaceholder(item);
  }
  return item;
}

std::size_t populateFolder(FsBrowser &browser, ItemTree &tree, ItemHandle folder,
                           GrowthStyle style) {
  std::size_t inserted = 0;
  for (const ItemData &child : browser.children(tree.data(folder))) {
    if (style.stopAtEmptyName && browser.info(child).name.empty()) {
      break;
    }
    insertRecordItem(browser, tree, folder, child, style.redDeleted);
    ++inserted;
  }
  return inserted;
}

ItemHandle fillTopLevel(FsBrowser &browser, ItemTree &tree) {
  tree.clear();
  const ItemHandle root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
  populateFolder(browser, tree, root, GrowthStyle{.redDeleted = true});
  tree.setChecked(root, true);
  tree.setExpanded(root, true);
  return root;
}

ListRow detailRow(FsBrowser &browser, const ItemData &record, std::string name) {
  const ListTexts t = browser.listTexts(record);
  ListRow row;
  row.columns = {std::move(name), t.created, t.accessed, t.modified, t.size, t.attributes};
  row.record = record;
  return row;
}

namespace {

// The item stands for a record of this parser (not ROOT, not a placeholder, not another
// parser's data).
bool ownItem(FsBrowser &browser, const ItemTree &tree, ItemHandle item) {
  return tree.valid(item) && tree.icon(item) != IconKind::Placeholder &&
         browser.owns(tree.data(item));
}

// Replaces the placeholder of a folder item by its children; nothing when it has none.
void growFromPlaceholder(FsBrowser &browser, ItemTree &tree, ItemHandle item, GrowthStyle style) {
  if (tree.hasPlaceholder(item)) {
    tree.removePlaceholder(tree.firstChild(item));
    populateFolder(browser, tree, item, style);
  }
}

} // namespace

std::optional<std::vector<ListRow>> labelClick(FsBrowser &browser, ItemTree &tree,
                                               ItemHandle item) {
  if (!ownItem(browser, tree, item)) {
    return std::nullopt;
  }
  const ItemData &record = tree.data(item);
  if (!browser.info(record).folder) {
    ListRow row = detailRow(browser, record, tree.text(item));
    row.item = item;
    return std::vector<ListRow>{std::move(row)};
  }
  if (tree.hasPlaceholder(item)) {
    tree.removePlaceholder(tree.firstChild(item));
  }
  if (!tree.hasChildren(item)) {
    populateFolder(browser, tree, item, GrowthStyle{.redDeleted = true});
  }
  if (!tree.hasChildren(item)) {
    return std::nullopt;
  }
  std::vector<ListRow> rows;
  for (const ItemHandle child : tree.children(item)) {
    if (tree.icon(child) == IconKind::Folder) {
      continue;
    }
    ListRow row = detailRow(browser, tree.data(child), tree.text(child));
    row.item = child;
    rows.push_back(std::move(row));
  }
  return rows;
}

void expanding(FsBrowser &browser, ItemTree &tree, ItemHandle item) {
  if (!ownItem(browser, tree, item) || !browser.info(tree.data(item)).folder) {
    return;
  }
  growFromPlaceholder(browser, tree, item, GrowthStyle{.stopAtEmptyName = true});
}

DoubleClickResult doubleClick(FsBrowser &browser, ItemTree &tree, ItemHandle item,
                              const std::filesystem::path &outputFolder) {
  DoubleClickResult result;
  if (!ownItem(browser, tree, item)) {
    return result;
  }
  const ItemData &record = tree.data(item);
  if (!browser.info(record).folder) {
    std::filesystem::path folder = outputFolder.empty() ? defaultOutputFolder() : outputFolder;
    result.saved = browser.saveFile(record, folder);
    return result;
  }
  growFromPlaceholder(browser, tree, item, GrowthStyle{.stopAtEmptyName = true});
  if (!tree.hasChildren(item)) {
    return result;
  }
  std::vector<ListRow> rows;
  for (const ItemHandle child : tree.children(item)) {
    if (tree.icon(child) == IconKind::Folder) {
      continue;
    }
    ListRow row;
    row.columns[0] = tree.text(child);
    row.item = child;
    row.record = tree.data(child);
    rows.push_back(std::move(row));
  }
  result.rows = std::move(rows);
  return result;
}

void listCheckClicked(ItemTree &tree, const ListRow &row, bool checked, bool searchResults) {
  if (!searchResults && tree.valid(row.item)) {
    tree.setChecked(row.item, checked);
  }
}

std::filesystem::path defaultOutputFolder() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) {
    base = "/tmp";
  }
  // One folder per user, so that nobody else's folder or link stands in the way.
  std::filesystem::path folder = base / ("quillon-recovered-" + std::to_string(::getuid()));
  std::filesystem::create_directories(folder, ec);
  return folder;
}

} // namespace quillon
