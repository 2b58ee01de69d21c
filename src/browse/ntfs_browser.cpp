// The NTFS adapter of the scan page's logic.
#include "browse/ntfs_browser.h"

#include "core/text_format.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_tree.h"

namespace quillon {

std::optional<std::size_t> NtfsBrowser::index(const ItemData &data) const {
  const auto *i = std::get_if<std::int64_t>(&data);
  if (i == nullptr || *i < 0 || static_cast<std::uint64_t>(*i) >= parser_.entries.size() ||
      !parser_.entries[static_cast<std::size_t>(*i)].isRecord()) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(*i);
}

bool NtfsBrowser::owns(const ItemData &data) const { return index(data).has_value(); }

EntryInfo NtfsBrowser::info(const ItemData &data) const {
  EntryInfo info;
  if (std::holds_alternative<std::monostate>(data)) {
    info.name = kRootItemText;
    info.folder = true;
    info.hasChildren = !ntfsTopLevel(parser_).empty();
    return info;
  }
  const auto i = index(data);
  if (!i) {
    return info;
  }
  const NtfsEntry &e = parser_.entries[*i];
  info.name = e.name;
  info.folder = e.isFolder();
  info.deleted = !e.inUse();
  info.hasChildren = e.firstChild != 0;
  info.statusSize = e.size;
  return info;
}

std::vector<ItemData> NtfsBrowser::children(const ItemData &folder) const {
  std::vector<std::int64_t> indexes;
  if (std::holds_alternative<std::monostate>(folder)) {
    indexes = ntfsTopLevel(parser_);
  } else if (const auto i = index(folder)) {
    indexes = ntfsChildIndexes(parser_, static_cast<std::int64_t>(*i));
  }
  return {indexes.begin(), indexes.end()};
}

ListTexts NtfsBrowser::listTexts(const ItemData &data) {
  const auto i = index(data);
  if (!i) {
    return {};
  }
  const auto texts = parser_.entryTexts(parser_.entries[*i]);
  ListTexts t;
  t.created = texts[0];
  t.accessed = texts[1];
  t.modified = texts[2];
  t.attributes = texts[3];
  t.size = parser_.sizeText(static_cast<std::int64_t>(*i));
  return t;
}

std::uint64_t NtfsBrowser::dataSize(const ItemData &data) {
  const auto i = index(data);
  return i ? parser_.dataSize(static_cast<std::int64_t>(*i)) : 0;
}

EntryTimes NtfsBrowser::times(const ItemData &data) {
  const auto i = index(data);
  if (!i) {
    return {};
  }
  const NtfsEntry &e = parser_.entries[*i];
  return {filetimeToUnix(e.created), filetimeToUnix(e.modified), filetimeToUnix(e.accessed)};
}

SaveOutcome NtfsBrowser::saveFile(const ItemData &data, const std::filesystem::path &folder,
                                  std::string_view asName) {
  SaveOutcome outcome;
  const auto i = index(data);
  if (!i) {
    outcome.error = "not a record of this volume";
    return outcome;
  }
  if (auto path =
          parser_.saveEntryFile(static_cast<std::int64_t>(*i), folder, &outcome.error, asName)) {
    outcome.written = true;
    outcome.path = *path;
  }
  return outcome;
}

std::optional<ItemData> NtfsBrowser::orphanFolder() const {
  const ItemData orphan = parser_.orphanIndex;
  if (!owns(orphan)) {
    return std::nullopt;
  }
  return orphan;
}

void NtfsBrowser::rename(const ItemData &data, std::string name) {
  if (const auto i = index(data)) {
    parser_.entries[*i].name = std::move(name);
    parser_.entries[*i].hasName = true;
  }
}

} // namespace quillon
