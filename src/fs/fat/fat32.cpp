// FAT32 standard mode: boot sector, root directory through its chain, scan steps.
#include "fs/fat/fat32.h"

#include "core/progress.h"
#include "disk/reader.h"

namespace quillon {

Fat32Class::Fat32Class(readWriteInterface &reader, Progress &progress, WorkerControl &control,
                       VolumeRecord volume)
    : FatVolume(reader, progress, control, std::move(volume)) {
  freeSlotEndsCluster = true;
  geometry.entryBytes = 4;
}

bool Fat32Class::readBootSector() {
  bootSector = readBootSectorAs(true);
  return bootSector.has_value();
}

void Fat32Class::walkRootDirectory() {
  visitedDirClusters_.clear();
  walkTree(readFolder(geometry.rootCluster, fat::kMaxDirectoryBytes / fat::kSlotSize));
}

bool Fat32Class::standardScan() {
  if (!readBootSector()) {
    (void)progress_.message("Selected Drive is not in Fat32 Format", kAppTitle,
                            MessageIcon::Information, MessageButtons::Ok);
    return false;
  }
  progress_.setStatus("Finding Fat32 File And Directory entries recursively....");
  walkRootDirectory();
  progress_.setStatus("maintaining tree Structure in vector...");
  linkChildren();
  return true;
}

} // namespace quillon
