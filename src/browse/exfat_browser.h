// The exFAT adapter of the scan page's logic: tree growth, list rows, saving and search over a
// Fat64Class's entry table. Item data is the record's table index; record 0 ("DUMMY ENTRY")
// stands for the root folder and is never an item of its own.
#pragma once

#include "browse/fs_browser.h"

namespace quillon {

class Fat64Class;
struct ExFatEntry;

class ExFatBrowser final : public FsBrowser {
public:
  explicit ExFatBrowser(Fat64Class &volume) : volume_(volume) {}

  [[nodiscard]] bool owns(const ItemData &data) const override;
  [[nodiscard]] EntryInfo info(const ItemData &data) const override;
  [[nodiscard]] std::vector<ItemData> children(const ItemData &folder) const override;
  [[nodiscard]] ListTexts listTexts(const ItemData &data) override;
  [[nodiscard]] std::uint64_t dataSize(const ItemData &data) override;
  [[nodiscard]] EntryTimes times(const ItemData &data) override;
  SaveOutcome saveFile(const ItemData &data, const std::filesystem::path &folder,
                       std::string_view asName = {}) override;
  void rename(const ItemData &data, std::string name) override;

private:
  [[nodiscard]] const ExFatEntry *entry(const ItemData &data) const;

  Fat64Class &volume_;
};

} // namespace quillon
