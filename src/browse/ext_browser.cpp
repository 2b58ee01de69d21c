// The ext2/ext3/ext4 adapter of the scan page's logic.
#include "browse/ext_browser.h"

#include "fs/ext/ext2.h"

namespace quillon {

namespace {

bool shown(const ExtNode &n) { return n.named && !n.name.empty() && (n.isFolder() || n.isFile()); }

} // namespace

const ExtNode *ExtBrowser::node(const ItemData &data) const {
  const auto *key = std::get_if<std::int64_t>(&data);
  if (key == nullptr || *key == kExtRootKey) {
    return nullptr;
  }
  const ExtNode *n = parser_.findNode(*key);
  return n != nullptr && shown(*n) ? n : nullptr;
}

bool ExtBrowser::owns(const ItemData &data) const { return node(data) != nullptr; }

EntryInfo ExtBrowser::info(const ItemData &data) const {
  EntryInfo info;
  const ExtNode *n =
      std::holds_alternative<std::monostate>(data) ? parser_.findNode(kExtRootKey) : node(data);
  if (n == nullptr) {
    if (std::holds_alternative<std::monostate>(data)) {
      info.name = kRootItemText;
      info.folder = true;
    }
    return info;
  }
  info.name = n->name;
  info.folder = n->isFolder();
  info.deleted = n->deleted;
  if (n->isFolder()) {
    // Only whether one shown child exists; the chain is bounded by the map's size.
    std::size_t steps = 0;
    for (const ExtNode *c = parser_.firstChild(*n);
         c != nullptr && !info.hasChildren && steps < parser_.nodeMap.size();
         c = parser_.nextSibling(*c), ++steps) {
      info.hasChildren = shown(*c);
    }
  }
  info.statusSize = n->size;
  return info;
}

std::vector<ItemData> ExtBrowser::children(const ItemData &folder) const {
  std::vector<ItemData> out;
  std::int64_t key = kExtRootKey;
  if (!std::holds_alternative<std::monostate>(folder)) {
    const ExtNode *f = node(folder);
    if (f == nullptr || !f->isFolder()) {
      return out;
    }
    key = f->key;
  }
  for (const std::int64_t child : parser_.childKeys(key)) {
    if (const ExtNode *c = parser_.findNode(child); c != nullptr && shown(*c)) {
      out.emplace_back(child);
    }
  }
  return out;
}

ListTexts ExtBrowser::listTexts(const ItemData &data) {
  const ExtNode *n = node(data);
  if (n == nullptr) {
    return {};
  }
  const auto texts = parser_.describeNode(*n);
  return {texts[0], texts[1], texts[2], parser_.sizeText(*n), texts[3]};
}

std::string ExtBrowser::attributesText(const ItemData &data) {
  const ExtNode *n = node(data);
  return n == nullptr ? std::string() : ext2Class::permissionText(*n);
}

std::uint64_t ExtBrowser::dataSize(const ItemData &data) {
  const ExtNode *n = node(data);
  return n == nullptr ? 0 : parser_.dataSize(*n);
}

EntryTimes ExtBrowser::times(const ItemData &data) {
  const ExtNode *n = node(data);
  if (n == nullptr || n->inode == 0) {
    return {};
  }
  return {n->changed.seconds, n->modified.seconds, n->accessed.seconds};
}

SaveOutcome ExtBrowser::saveFile(const ItemData &data, const std::filesystem::path &folder,
                                 std::string_view asName) {
  SaveOutcome outcome;
  const ExtNode *n = node(data);
  if (n == nullptr) {
    outcome.error = "not a record of this volume";
    return outcome;
  }
  if (auto path = parser_.saveNodeFile(*n, folder, &outcome.error, asName)) {
    outcome.written = true;
    outcome.path = *path;
  }
  return outcome;
}

void ExtBrowser::rename(const ItemData &data, std::string name) {
  if (const ExtNode *n = node(data)) {
    const auto it = parser_.nodeMap.find(n->key);
    it->second.name = std::move(name);
  }
}

} // namespace quillon
