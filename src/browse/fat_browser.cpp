// The FAT16/FAT32 adapter of the scan page's logic.
#include "browse/fat_browser.h"

namespace quillon {

EntryInfo FatBrowser::describe(const FatEntry &e) const {
  EntryInfo info;
  info.name = e.name;
  info.folder = fat::isDirectoryClass(e.attributes);
  info.deleted = e.deleted != 0;
  info.hasChildren = e.firstChild != nullptr;
  info.statusSize = e.fileSize;
  return info;
}

std::uint64_t FatBrowser::dataSize(const ItemData &data) {
  const FatEntry *e = entry(data);
  return e == nullptr || fat::isDirectoryClass(e->attributes) ? 0 : e->fileSize;
}

EntryTimes FatBrowser::times(const ItemData &data) {
  const FatEntry *e = entry(data);
  if (e == nullptr) {
    return {};
  }
  return {fat::dosToUnix(e->createDate, e->createTime), fat::dosToUnix(e->writeDate, e->writeTime),
          fat::dosToUnix(e->accessDate, 0)};
}

} // namespace quillon
