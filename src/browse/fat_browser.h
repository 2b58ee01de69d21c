// The FAT16/FAT32 adapter of the scan page's logic: tree growth, list rows, saving and search
// over a FatVolume's entry table.
#pragma once

#include "browse/table_browser.h"
#include "fs/fat/fat_common.h"

namespace quillon {

class FatBrowser final : public TableBrowser<fat::FatVolume, FatEntry> {
public:
  using TableBrowser::TableBrowser;

  [[nodiscard]] std::uint64_t dataSize(const ItemData &data) override;
  [[nodiscard]] EntryTimes times(const ItemData &data) override;

protected:
  [[nodiscard]] EntryInfo describe(const FatEntry &entry) const override;
};

} // namespace quillon
