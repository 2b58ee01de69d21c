// FAT16 standard mode: boot sector, fixed root directory, scan steps.
#include "fs/fat/fat16.h"

#include "core/progress.h"
#include "disk/reader.h"

namespace quillon {

bool Fat16Class::readBootSector() {
  bootSector = readBootSectorAs(false);
  return bootSector.has_value();
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
