// Reading Recycle Bin index files and renaming the data files they describe.
#include "browse/recycle_bin.h"

#include "core/text_convert.h"

#include <map>

namespace quillon {

namespace {

constexpr std::size_t kVersionOffset = 0;
constexpr std::size_t kPathOffsetV1 = 24;
constexpr std::size_t kPathLengthOffsetV2 = 24;
constexpr std::size_t kPathOffsetV2 = 28;
constexpr std::uint64_t kVersion2 = 2;

} // namespace

std::optional<std::string> recycleBinOriginalName(Bytes indexFile) {
  Bytes path;
  if (le64(indexFile, kVersionOffset) == kVersion2) {
    if (indexFile.size() <= kPathOffsetV2) {
      return std::nullopt;
    }
    const std::uint64_t units = le32(indexFile, kPathLengthOffsetV2);
    const std::size_t available = (indexFile.size() - kPathOffsetV2) / 2;
    path = indexFile.subspan(
        kPathOffsetV2, static_cast<std::size_t>(std::min<std::uint64_t>(units, available)) * 2);
  } else {
    if (indexFile.size() <= kPathOffsetV1) {
      return std::nullopt;
    }
    path = indexFile.subspan(kPathOffsetV1);
  }
  const std::string full = utf16leToUtf8(path); // stops at the terminating NUL
  const std::size_t slash = full.rfind('\\');
  std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
  if (name.empty()) {
    return std::nullopt;
  }
  return name;
}

std::size_t renameRecycleBinFiles(FsBrowser &browser, const ItemTree &tree) {
  std::size_t renamed = 0;
  const ItemHandle root = tree.rootItem();
  if (root == kNoItem) {
    return 0;
  }
  for (const ItemHandle item : tree.children(root)) {
    const std::string &text = tree.text(item);
    if (tree.icon(item) != IconKind::Folder || (text != "$RECYCLE.BIN" && text != "$RECYCLEBIN") ||
        !browser.owns(tree.data(item))) {
      continue;
    }
    for (const ItemData &user : browser.children(tree.data(item))) {
      if (!browser.info(user).folder) {
        continue;
      }
      const std::vector<ItemData> entries = browser.children(user);
      std::map<std::string, std::string> originalNames; // index-file name -> original name
      for (const ItemData &entry : entries) {
        const EntryInfo info = browser.info(entry);
        if (info.folder || !info.name.starts_with("$I")) {
          continue;
        }
        const auto bytes = browser.readSmallFile(entry, kMaxRecycleIndexBytes);
        if (!bytes) {
          continue;
        }
        if (auto name = recycleBinOriginalName(*bytes)) {
          originalNames[info.name] = std::move(*name);
        }
      }
      for (const auto &[indexName, original] : originalNames) {
        const std::string dataName = "$R" + indexName.substr(2);
        for (const ItemData &entry : entries) {
          if (browser.info(entry).name == dataName) {
            browser.rename(entry, original);
            ++renamed;
          }
        }
      }
    }
  }
  return renamed;
}

} // namespace quillon
