// The HFS+ adapter of the scan page's logic.
#include "browse/hfs_browser.h"

#include "fs/hfsplus/hfsplus.h"

namespace quillon {

const HfsNode *HfsBrowser::node(const ItemData &data) const {
  const auto *cnid = std::get_if<std::uint32_t>(&data);
  if (cnid == nullptr) {
    return nullptr;
  }
  const HfsNode *n = parser_.findNode(*cnid);
  return n != nullptr && (n->isFolder() || n->isFile()) ? n : nullptr;
}

bool HfsBrowser::owns(const ItemData &data) const { return node(data) != nullptr; }

EntryInfo HfsBrowser::info(const ItemData &data) const {
  EntryInfo info;
  if (std::holds_alternative<std::monostate>(data)) {
    info.name = kRootItemText;
    info.folder = true;
    info.hasChildren = !parser_.topLevel().empty();
    return info;
  }
  const HfsNode *n = node(data);
  if (n == nullptr) {
    return info;
  }
  info.name = n->name;
  info.folder = n->isFolder();
  info.deleted = n->deleted;
  info.hasChildren = n->isFolder() && n->firstChild > 0;
  info.statusSize = parser_.dataSize(*n);
  return info;
}

std::vector<ItemData> HfsBrowser::children(const ItemData &folder) const {
  std::vector<std::uint32_t> ids;
  if (std::holds_alternative<std::monostate>(folder)) {
    ids = parser_.topLevel();
  } else if (const HfsNode *f = node(folder); f != nullptr && f->isFolder()) {
    ids = parser_.childIds(f->cnid);
  }
  return {ids.begin(), ids.end()};
}

ListTexts HfsBrowser::listTexts(const ItemData &data) {
  const HfsNode *n = node(data);
  if (n == nullptr) {
    return {};
  }
  const auto texts = parser_.describeHfsFile(*n);
  return {texts[0], texts[1], texts[2], n->isFile() ? parser_.sizeText(*n) : std::string(),
          texts[3]};
}

std::uint64_t HfsBrowser::dataSize(const ItemData &data) {
  const HfsNode *n = node(data);
  return n == nullptr ? 0 : parser_.dataSize(*n);
}

EntryTimes HfsBrowser::times(const ItemData &data) {
  const HfsNode *n = node(data);
  if (n == nullptr) {
    return {};
  }
  const HfsNode &c = parser_.contentNode(*n);
  return {hfs::dateToUnix(c.createDate), hfs::dateToUnix(c.contentModDate),
          hfs::dateToUnix(c.accessDate)};
}

SaveOutcome HfsBrowser::saveFile(const ItemData &data, const std::filesystem::path &folder,
                                 std::string_view asName) {
  SaveOutcome outcome;
  const HfsNode *n = node(data);
  if (n == nullptr) {
    outcome.error = "not a record of this volume";
    return outcome;
  }
  if (auto path = parser_.saveHfsFile(*n, folder, &outcome.error, asName)) {
    outcome.written = true;
    outcome.path = *path;
  }
  return outcome;
}

void HfsBrowser::rename(const ItemData &data, std::string name) {
  if (const HfsNode *n = node(data)) {
    parser_.nodeMap.at(n->cnid).name = std::move(name);
  }
}

std::optional<ItemData> HfsBrowser::orphanFolder() const {
  const auto id = parser_.orphanId();
  if (!id || parser_.findNode(*id) == nullptr) {
    return std::nullopt;
  }
  return ItemData{*id};
}

} // namespace quillon
