// FAT16 standard mode: boot sector, fixed root directory, scan steps.
#include "fs/fat/fat16.h"

#include "core/progress.h"
#include "disk/reader.h"

namespace quillon {

bool Fat16Class::readBootSector() {
  std::array<std::uint8_t, 512> sector{};
  (void)reader_.readAt(0, sector); // a failed read leaves zeros, which are refused
  // FAT32 boot sectors have 0 in the 16-bit table size; they belong to Fat32Class.
  if (le16(sector, 22) == 0) {
    return false;
  }
  auto g = fat::geometryFrom(sector, false, volumeSize);
  if (!g) {
    return false;
  }
  geometry = *g;
  bootGeometry = *g;
  bootSector = sector;
  return true;
}

void Fat16Class::walkRootDirectory() {
  visitedDirClusters_.clear();
  walkTree(readContiguous(geometry.rootOffset, geometry.rootSize)); // at most about 2 MiB
}

bool Fat16Class::standardScan() {
  if (!readBootSector()) {
    progress_.inform("Selected Drive is not in Fat16 Format");
    return false;
  }
  progress_.setStatus("Finding Fat16 File And Directory entries recursively....");
  walkRootDirectory();
  progress_.setStatus("maintaining tree Structure in vector...");
  linkChildren();
  return true;
}

} // namespace quillon
