// The exFAT adapter of the scan page's logic.
#include "browse/exfat_browser.h"

#include "core/item_tree.h"
#include "fs/fat/exfat.h"

namespace quillon {

namespace {

std::optional<std::int64_t> unixTime(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utc) {
  if (const auto t = exFatStampToUnix(stamp, tenMs, utc)) {
    return t->seconds;
  }
  return std::nullopt;
}

} // namespace

const ExFatEntry *ExFatBrowser::entry(const ItemData &data) const {
  const auto *i = std::get_if<std::int64_t>(&data);
  if (i == nullptr || *i <= 0 || static_cast<std::uint64_t>(*i) >= volume_.entries.size()) {
    return nullptr;
  }
  return &volume_.entries[static_cast<std::size_t>(*i)];
}

bool ExFatBrowser::owns(const ItemData &data) const { return entry(data) != nullptr; }

EntryInfo ExFatBrowser::info(const ItemData &data) const {
  EntryInfo info;
  if (std::holds_alternative<std::monostate>(data)) {
    info.name = kRootItemText;
    info.folder = true;
    info.hasChildren = !volume_.entries.empty() && volume_.entries[0].firstChild != nullptr;
    return info;
  }
  const ExFatEntry *e = entry(data);
  if (e == nullptr) {
    return info;
  }
  info.name = e->name;
  info.folder = e->isFolder();
  info.deleted = e->deleted();
  info.hasChildren = e->firstChild != nullptr;
  info.statusSize = e->validDataLength;
  return info;
}

std::vector<ItemData> ExFatBrowser::children(const ItemData &folder) const {
  const ExFatEntry *f = std::holds_alternative<std::monostate>(folder)
                            ? (volume_.entries.empty() ? nullptr : &volume_.entries[0])
                            : entry(folder);
  std::vector<ItemData> out;
  if (f != nullptr) {
    for (const ExFatEntry *c : volume_.children(*f)) {
      out.emplace_back(static_cast<std::int64_t>(c->selfIndex));
    }
  }
  return out;
}

ListTexts ExFatBrowser::listTexts(const ItemData &data) {
  const ExFatEntry *e = entry(data);
  if (e == nullptr) {
    return {};
  }
  const auto texts = volume_.entryTexts(*e);
  return {texts[0], texts[1], texts[2], volume_.sizeText(*e), texts[3]};
}

std::uint64_t ExFatBrowser::dataSize(const ItemData &data) {
  const ExFatEntry *e = entry(data);
  // A saved copy gets the whole DataLength: valid data, then zeros.
  return e == nullptr || e->isFolder() ? 0 : e->dataLength;
}

EntryTimes ExFatBrowser::times(const ItemData &data) {
  const ExFatEntry *e = entry(data);
  if (e == nullptr) {
    return {};
  }
  return {unixTime(e->createStamp, e->create10ms, e->createUtcOffset),
          unixTime(e->modifyStamp, e->modify10ms, e->modifyUtcOffset),
          unixTime(e->accessStamp, 0, e->accessUtcOffset)};
}

SaveOutcome ExFatBrowser::saveFile(const ItemData &data, const std::filesystem::path &folder,
                                   std::string_view asName) {
  SaveOutcome outcome;
  const ExFatEntry *e = entry(data);
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

void ExFatBrowser::rename(const ItemData &data, std::string name) {
  if (const ExFatEntry *e = entry(data)) {
    volume_.entries[e->selfIndex].name = std::move(name);
  }
}

} // namespace quillon
