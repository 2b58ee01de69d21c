// The exFAT adapter of the scan page's logic: tree growth, list rows, saving and search over a
// Fat64Class's entry table.
#pragma once

#include "browse/table_browser.h"
#include "fs/fat/exfat.h"

namespace quillon {

class ExFatBrowser final : public TableBrowser<Fat64Class, ExFatEntry> {
public:
  using TableBrowser::TableBrowser;

  [[nodiscard]] std::uint64_t dataSize(const ItemData &data) override;
  [[nodiscard]] EntryTimes times(const ItemData &data) override;
  // Record 1 of an advanced scan's table.
  [[nodiscard]] std::optional<ItemData> orphanFolder() const override;

protected:
  [[nodiscard]] EntryInfo describe(const ExFatEntry &entry) const override;
};

} // namespace quillon
