// The boot-sector scan of Partition: reads the disk in 1 MiB blocks and tests every sector for an
// NTFS, FAT-family or exFAT boot sector or an HFS+ volume header, without trusting any partition
// table. With skipping on, the contents of each listed volume are not tested.
#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "volumes/boot_sector.h"
#include "volumes/partition.h"

#include <algorithm>
#include <limits>

namespace quillon {
namespace {

constexpr std::uint64_t kBlockSectors = 2048; // 1 MiB
constexpr std::uint64_t kProgressSteps = 1000;
// Larger HFS+ sizes come from headers that are not real.
constexpr std::uint64_t kMaxHfsPlusMiB = 20971519;
// The HFS+ header sits 1024 bytes into its volume.
constexpr std::uint64_t kHfsHeaderSector = 2;
constexpr std::string_view kStoppedText = "Scanned Partitions";

std::uint64_t progressPosition(std::uint64_t cur, std::uint64_t disk) {
  if (disk == 0) {
    return kProgressSteps;
  }
  const std::uint64_t pos = disk <= std::numeric_limits<std::uint64_t>::max() / kProgressSteps
                                ? cur * kProgressSteps / disk
                                : cur / (disk / kProgressSteps);
  return std::min(pos, kProgressSteps);
}

} // namespace

void Partition::scanBootSectors() {
  beginRun();
  progress_.setStatus("Scanning partition.....");
  if (control != nullptr) {
    control->clearStop();
  }
  progress_.setRange(0, kProgressSteps);
  std::vector<std::uint8_t> block(kBlockSectors * kSectorSize);
  std::uint64_t cur = scanStartSector;
  while (cur < diskSectors_) {
    if (control != nullptr && !control->checkpoint()) {
      progress_.setStatus(kStoppedText);
      return;
    }
    const std::uint64_t count = std::min(kBlockSectors, diskSectors_ - cur);
    if (!readSectors(cur, std::span(block).first(count * kSectorSize))) {
      return;
    }
    if (scanEndSector != 0 && scanEndSector < cur) {
      return;
    }
    std::uint64_t i = 0;
    for (; i < count; ++i) {
      if (stopRequested()) {
        progress_.setStatus(kStoppedText);
        return;
      }
      bool listed = false;
      const std::uint64_t skip =
          testScanSector(Bytes(block).subspan(i * kSectorSize, kSectorSize), cur + i, listed);
      if (listed && stopRequested()) {
        progress_.setStatus(kStoppedText);
        return;
      }
      // A volume that claims to reach past the disk's end ends the scan there.
      i += std::min(skip, diskSectors_ - cur - i - 1);
    }
    cur += i;
    progress_.setPosition(progressPosition(cur, diskSectors_));
  }
}

std::uint64_t Partition::testScanSector(Bytes sector, std::uint64_t sectorNumber, bool &listed) {
  listed = false;
  const BootSectorInfo info = classifyBootSector(sector, FatSizeRule::Scan, true);
  std::uint64_t sectors = info.sectors;
  const auto mib = static_cast<long long>(info.sizeMiB());
  switch (info.kind) {
  case BootKind::None: {
    if (!isHfsPlusHeader(sector)) {
      return 0;
    }
    sectors = hfsPlusSectors(sector);
    const std::uint64_t hfsMiB = sectors / kSectorsPerMiB;
    // A header in the disk's first two sectors would put its volume before the disk.
    if (hfsMiB < 1 || hfsMiB > kMaxHfsPlusMiB || sectorNumber < kHfsHeaderSector) {
      return 0;
    }
    progress_.setStatus("found HFS+...");
    addVolume("HFS+", format("%lld  MB", static_cast<long long>(hfsMiB)),
              sectorNumber - kHfsHeaderSector);
    break;
  }
  case BootKind::Ntfs:
    if (mib == 0) {
      return 0;
    }
    progress_.setStatus(format("found NTFS %d...", ++ntfsCount_));
    addVolume("NTFS", format("%lld   MB", mib), sectorNumber);
    break;
  default:
    progress_.setStatus(fatStatusText(info.kind));
    if (mib == 0) {
      return 0;
    }
    addVolume(bootKindName(info.kind), format("%lld  MB", mib), sectorNumber);
    break;
  }
  listed = true;
  return skipFoundVolumes ? sectors : 0;
}

} // namespace quillon
