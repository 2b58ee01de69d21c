// The exFAT adapter of the scan page's logic.
#include "browse/exfat_browser.h"

namespace quillon {

namespace {

std::optional<std::int64_t> unixTime(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utc) {
  if (const auto t = exFatStampToUnix(stamp, tenMs, utc)) {
    return t->seconds;
  }
  return std::nullopt;
}

} // namespace

EntryInfo ExFatBrowser::describe(const ExFatEntry &e) const {
  EntryInfo info;
  info.name = e.name;
  info.folder = e.isFolder();
  info.deleted = e.deleted();
  info.hasChildren = e.firstChild != nullptr;
  info.statusSize = e.validDataLength;
  return info;
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

std::optional<ItemData> ExFatBrowser::orphanFolder() const {
  const ItemData orphan = static_cast<std::int64_t>(kExFatOrphanIndex);
  const ExFatEntry *e = entry(orphan);
  if (!volume_.advancedMode || e == nullptr || e->name != kExFatOrphanName) {
    return std::nullopt;
  }
  return orphan;
}

} // namespace quillon
