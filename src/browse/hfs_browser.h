// HfsBrowser: the FsBrowser of an HFS+ volume, over HFSP's CNID map. Tree items carry catalog
// node IDs; ROOT (the empty item data) stands for the volume's top level, the nodes whose parent
// is the root folder, in ascending CNID order. In the deep mode ORPHAN_ENTRY gathers the nodes
// whose folder was not found.
#pragma once

#include "browse/fs_browser.h"

namespace quillon {

class HFSP;
struct HfsNode;

class HfsBrowser final : public FsBrowser {
public:
  explicit HfsBrowser(HFSP &parser) : parser_(parser) {}

  [[nodiscard]] bool owns(const ItemData &data) const override;
  [[nodiscard]] EntryInfo info(const ItemData &data) const override;
  [[nodiscard]] std::vector<ItemData> children(const ItemData &folder) const override;
  [[nodiscard]] ListTexts listTexts(const ItemData &data) override;
  [[nodiscard]] std::uint64_t dataSize(const ItemData &data) override;
  [[nodiscard]] EntryTimes times(const ItemData &data) override;
  SaveOutcome saveFile(const ItemData &data, const std::filesystem::path &folder,
                       std::string_view asName = {}) override;
  void rename(const ItemData &data, std::string name) override;
  [[nodiscard]] std::optional<ItemData> orphanFolder() const override;

  [[nodiscard]] HFSP &parser() { return parser_; }

private:
  // The folder or file node behind the item data.
  [[nodiscard]] const HfsNode *node(const ItemData &data) const;

  HFSP &parser_;
};

} // namespace quillon
