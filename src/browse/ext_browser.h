// ExtBrowser: the FsBrowser of an ext2/ext3/ext4 volume, over ext2Class's node map. Tree items
// carry node keys; ROOT (the empty item data) stands for the map's ROOT node, whose chain is the
// volume's top level. Only files and folders are shown.
#pragma once

#include "browse/fs_browser.h"

namespace quillon {

class ext2Class;
struct ExtNode;

class ExtBrowser final : public FsBrowser {
public:
  explicit ExtBrowser(ext2Class &parser) : parser_(parser) {}

  [[nodiscard]] bool owns(const ItemData &data) const override;
  [[nodiscard]] EntryInfo info(const ItemData &data) const override;
  [[nodiscard]] std::vector<ItemData> children(const ItemData &folder) const override;
  [[nodiscard]] ListTexts listTexts(const ItemData &data) override;
  [[nodiscard]] std::string attributesText(const ItemData &data) override;
  [[nodiscard]] std::uint64_t dataSize(const ItemData &data) override;
  [[nodiscard]] EntryTimes times(const ItemData &data) override;
  SaveOutcome saveFile(const ItemData &data, const std::filesystem::path &folder,
                       std::string_view asName = {}) override;
  void rename(const ItemData &data, std::string name) override;

  [[nodiscard]] ext2Class &parser() { return parser_; }

private:
  // The node behind the item data: a shown file or folder of the map, never ROOT itself.
  [[nodiscard]] const ExtNode *node(const ItemData &data) const;

  ext2Class &parser_;
};

} // namespace quillon
