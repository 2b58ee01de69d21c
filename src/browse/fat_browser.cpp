// The FAT16/FAT32 adapter of the scan page's logic.
#include "browse/fat_browser.h"

#include "core/item_tree.h"
#include "fs/fat/fat_common.h"

namespace quillon {

const FatEntry *FatBrowser::entry(const ItemData &data) const {
  const auto *i = std::get_if<std::int64_t>(&data);
  if (i == nullptr || *i <= 0 || static_cast<std::uint64_t>(*i) >= volume_.entries.size()) {
    return nullptr;
  }
  return &volume_.entries[static_cast<std::size_t>(*i)];
}

bool FatBrowser::owns(const ItemData &data) const { return entry(data) != nullptr; }

EntryInfo FatBrowser::info(const ItemData &data) const {
  EntryInfo info;
  if (std::holds_alternative<std::monostate>(data)) {
    info.name = kRootItemText;
    info.folder = true;
    info.hasChildren = !volume_.entries.empty() && volume_.entries[0].firstChild != nullptr;
    return info;
  }
  const FatEntry *e = entry(data);
  if (e == nullptr) {
    return info;
  }
  info.name = e->name;
  info.folder = fat::isDirectoryClass(e->attributes);
  info.deleted = e->deleted != 0;
  info.hasChildren = e->firstChild != nullptr;
  info.statusSize = e->fileSize;
  return info;
}

std::vector<ItemData> FatBrowser::children(const ItemData &folder) const {
  const FatEntry *f = nullptr;
  if (std::holds_alternative<std::monostate>(folder)) {
    f = volume_.entries.empty() ? nullptr : &volume_.entries[0];
  } else {
    f = entry(folder);
  }
  std::vector<ItemData> out;
  if (f == nullptr) {
    return out;
  }
  // The links never form a cycle, but a bound costs nothing and keeps that a local fact.
  const std::size_t bound = volume_.entries.size();
  for (const FatEntry *c = f->firstChild; c != nullptr && out.size() < bound; c = c->nextSibling) {
    out.emplace_back(static_cast<std::int64_t>(c->selfIndex));
  }
  return out;
}

ListTexts FatBrowser::listTexts(const ItemData &data) {
  const FatEntry *e = entry(data);
  if (e == nullptr) {
    return {};
  }
  const auto texts = volume_.entryTexts(*e);
  return {texts[0], texts[1], texts[2], volume_.sizeText(*e), texts[3]};
}

std::uint64_t FatBrowser::dataSize(const ItemData &data) {
  const FatEntry *e = entry(data);
  return e == nullptr || fat::isDirectoryClass(e->attributes) ? 0 : e->fileSize;
}

EntryTimes FatBrowser::times(const ItemData &data) {
  const FatEntry *e = entry(data);
  if (e == nullptr) {
    return {};
  }
  return {fat::dosToUnix(e->createDate, e->createTime), fat::dosToUnix(e->writeDate, e->writeTime),
          fat::dosToUnix(e->accessDate, 0)};
}

SaveOutcome FatBrowser::saveFile(const ItemData &data, const std::filesystem::path &folder,
                                 std::string_view asName) {
  SaveOutcome outcome;
  const FatEntry *e = entry(data);
  if (e == nullptr) {
    outcome.error = "not a record of this volume";
    return outcome;
  }
  if (auto path = volume_.saveEntryFile(*e, folder, &outcome.error, asName)) {
    outcome.written = true;
    outcome.path = *path;
  }
  return outcome;
}

void FatBrowser::rename(const ItemData &data, std::string name) {
  if (const FatEntry *e = entry(data)) {
    volume_.entries[e->selfIndex].name = std::move(name);
  }
}

} // namespace quillon
