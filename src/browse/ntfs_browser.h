// NtfsBrowser: the FsBrowser of an NTFS volume, over the ntfs parser's entry table. Tree items
// carry table indexes.
#pragma once

#include "browse/fs_browser.h"

namespace quillon {

class ntfs;

class NtfsBrowser final : public FsBrowser {
public:
  explicit NtfsBrowser(ntfs &parser) : parser_(parser) {}

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
  // $BadClus is counted when a folder is saved but never written: its data is the whole volume.
  [[nodiscard]] bool writesFile(const EntryInfo &file) const override {
    return file.name != "$BadClus";
  }

  [[nodiscard]] ntfs &parser() { return parser_; }

private:
  // The entry's table index when the data is one of this table's records.
  [[nodiscard]] std::optional<std::size_t> index(const ItemData &data) const;

  ntfs &parser_;
};

} // namespace quillon
