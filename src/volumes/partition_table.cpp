// The partition-table walk of Partition: the MBR and its chain of extended boot records, or the
// GUID partition table. Every entry is typed by its partition type (MBR) or by the boot sector
// at its start (GPT) and appended as a volume record.
#include "core/progress.h"
#include "core/text_convert.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "volumes/boot_sector.h"
#include "volumes/partition.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <optional>
#include <set>

namespace quillon {
namespace {

constexpr int kReadError = EIO;

constexpr std::size_t kMbrTableOffset = 446;
constexpr std::size_t kMbrEntryBytes = 16;
constexpr std::size_t kMbrEntryCount = 4;
constexpr std::size_t kMbrTypeOffset = 4;
constexpr std::size_t kMbrFirstLbaOffset = 8;
constexpr std::size_t kMbrSectorCountOffset = 12;
// A chain longer than this is damaged or hostile; real disks stay far below it.
constexpr int kMaxBootRecords = 50;

constexpr std::uint64_t kGptHeaderSector = 1;
constexpr std::size_t kGptEntryLbaOffset = 72;
constexpr std::size_t kGptEntryCountOffset = 80;
constexpr std::size_t kGptEntrySizeOffset = 84;
constexpr std::uint32_t kGptMinEntryBytes = 128;
constexpr std::uint32_t kGptMaxEntryBytes = 4096;
constexpr std::uint32_t kGptMaxEntries = 1024;
// The protective MBR and the header come first; an entry array cannot start before this.
constexpr std::uint64_t kGptFirstEntryLba = 2;

constexpr std::size_t kGptTypeGuidBytes = 16;
constexpr std::size_t kGptFirstLbaOffset = 32;
constexpr std::size_t kGptLastLbaOffset = 40;
constexpr std::size_t kGptNameOffset = 56;
constexpr std::size_t kGptNameBytes = 72;
// Partitions that start this low would overlap the table itself.
constexpr std::uint64_t kGptLowestStart = 2;

// The boot sector, the HFS+ header (sector 2) and the ext superblock (bytes 1024-2047).
constexpr std::size_t kVolumeHeadBytes = 2048;
constexpr std::size_t kHfsHeaderOffset = 1024;

struct MbrEntry {
  std::uint8_t type = 0;
  std::uint32_t firstLba = 0;
  std::uint32_t sectorCount = 0;
};

MbrEntry mbrEntry(Bytes table, std::size_t index) {
  const std::size_t at = kMbrTableOffset + index * kMbrEntryBytes;
  return {u8(table, at + kMbrTypeOffset), le32(table, at + kMbrFirstLbaOffset),
          le32(table, at + kMbrSectorCountOffset)};
}

bool isExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

struct GptLayout {
  std::uint64_t entryLba = 0;
  std::uint64_t entryCount = 0;
  std::uint64_t entryBytes = 0;
};

// The entry array as the header describes it, bounded to 1024 entries that lie on the disk;
// nothing when the header cannot describe a real array.
std::optional<GptLayout> gptLayout(Bytes header, std::uint64_t diskSectors) {
  if (!hasBytes(header, 0, "EFI PART")) {
    return std::nullopt;
  }
  GptLayout layout{le64(header, kGptEntryLbaOffset), le32(header, kGptEntryCountOffset),
                   le32(header, kGptEntrySizeOffset)};
  if (layout.entryBytes < kGptMinEntryBytes || layout.entryBytes > kGptMaxEntryBytes ||
      layout.entryBytes % kGptMinEntryBytes != 0) {
    return std::nullopt;
  }
  if (layout.entryLba < kGptFirstEntryLba || layout.entryLba >= diskSectors) {
    return std::nullopt;
  }
  const std::uint64_t fitting = (diskSectors - layout.entryLba) * kSectorSize / layout.entryBytes;
  layout.entryCount = std::min({layout.entryCount, std::uint64_t{kGptMaxEntries}, fitting});
  return layout;
}

bool isZero(Bytes bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

} // namespace

Partition::Partition(readWriteInterface &reader, Progress &progress,
                     std::vector<VolumeRecord> &records)
    : reader_(reader), progress_(progress), records_(records) {}

void Partition::beginRun() {
  // Discovery addresses whole-disk sectors.
  reader_.baseOffset = 0;
  // Bounded so that every sector number below it converts to a byte offset.
  diskSectors_ =
      std::min(reader_.sectorCount(), std::numeric_limits<std::uint64_t>::max() / kSectorSize);
  ntfsCount_ = 0;
}

bool Partition::readSectors(std::uint64_t sector, std::span<std::uint8_t> out) {
  if (sector > std::numeric_limits<std::uint64_t>::max() / kSectorSize) {
    return false;
  }
  return reader_.readAt(sector * kSectorSize, out);
}

bool Partition::stopRequested() const { return control != nullptr && control->stopRequested(); }

void Partition::addVolume(std::string_view fsType, std::string volumeSizeText,
                          std::uint64_t startSector) {
  VolumeRecord record;
  record.fsType = std::string(fsType);
  record.number = format("%zu", records_.size());
  record.volumeSizeText = std::move(volumeSizeText);
  record.startSector = startSector;
  records_.push_back(std::move(record));
  if (onVolumeFound) {
    onVolumeFound(records_.back());
  }
}

int Partition::listPartitions() {
  beginRun();
  if (gptMode) {
    std::array<std::uint8_t, 2 * kSectorSize> head{};
    if (readSectors(0, head)) {
      // Without a usable header the disk is walked as an MBR disk.
      const Bytes header = Bytes(head).subspan(kGptHeaderSector * kSectorSize);
      if (const auto layout = gptLayout(header, diskSectors_)) {
        return walkGpt(layout->entryLba, layout->entryCount, layout->entryBytes);
      }
    }
  }
  return walkMbr();
}

int Partition::walkGpt(std::uint64_t entryLba, std::uint64_t entryCount, std::uint64_t entryBytes) {
  std::vector<std::uint8_t> entries(entryCount * entryBytes);
  if (!readSectors(entryLba, entries)) {
    return kReadError;
  }
  for (std::uint64_t i = 0; i < entryCount; ++i) {
    bool stop = false;
    if (const int rc = listGptEntry(Bytes(entries).subspan(i * entryBytes, entryBytes), stop);
        rc != 0) {
      return rc;
    }
    if (stop) {
      break;
    }
  }
  return 0;
}

int Partition::listGptEntry(Bytes entry, bool &stop) {
  if (isZero(entry.first(kGptTypeGuidBytes))) {
    return 0;
  }
  const std::uint64_t first = le64(entry, kGptFirstLbaOffset);
  const std::uint64_t last = le64(entry, kGptLastLbaOffset);
  if (first <= kGptLowestStart || last < first || first >= diskSectors_) {
    return 0;
  }
  const std::string name = utf16leToUtf8(entry.subspan(kGptNameOffset, kGptNameBytes));
  if (name == "Microsoft reserved partition") {
    return 0;
  }
  std::array<std::uint8_t, kVolumeHeadBytes> head{};
  if (!readSectors(first, head)) {
    return kReadError;
  }
  const BootSectorInfo info =
      classifyBootSector(Bytes(head).first(kSectorSize), FatSizeRule::Walk, false);
  const auto mib = static_cast<long long>(info.sizeMiB());
  switch (info.kind) {
  case BootKind::None: {
    // ext volumes have no boot sector to type them; without the superblock test they would be
    // listed under their partition name and could not be opened.
    std::string fsType = name;
    if (isHfsPlusHeader(Bytes(head).subspan(kHfsHeaderOffset))) {
      fsType = "HFS+";
    } else if (hasExtSuperblock(head)) {
      fsType = "extX";
    }
    addVolume(fsType, format("%lld", static_cast<long long>((last - first) / kSectorsPerMiB)),
              first);
    return 0;
  }
  case BootKind::Ntfs:
    if (mib > 0) {
      progress_.setStatus(format("found NTFS %d...", ++ntfsCount_));
      addVolume("NTFS", format("%lld   MB", mib), first);
    }
    break;
  default:
    progress_.setStatus(fatStatusText(info.kind));
    if (mib > 0) {
      addVolume(bootKindName(info.kind), format("%lld  MB", mib), first);
    }
    break;
  }
  stop = stopRequested();
  return 0;
}

int Partition::walkMbr() {
  std::array<std::uint8_t, kSectorSize> mbr{};
  if (!readSectors(0, mbr)) {
    return kReadError;
  }
  // Every primary entry is listed in table order, wherever the empty and extended ones sit.
  std::optional<std::uint64_t> extBase;
  for (std::size_t i = 0; i < kMbrEntryCount; ++i) {
    const MbrEntry e = mbrEntry(mbr, i);
    if (e.type == 0) {
      continue;
    }
    if (isExtendedType(e.type)) {
      if (!extBase) {
        extBase = e.firstLba;
      }
      continue;
    }
    if (e.firstLba >= diskSectors_) {
      continue;
    }
    if (const int rc = listMbrEntry(e.type, e.firstLba, e.sectorCount, false); rc != 0) {
      return rc;
    }
  }
  return extBase ? walkEbrChain(*extBase) : 0;
}

int Partition::walkEbrChain(std::uint64_t extBase) {
  std::set<std::uint64_t> visited;
  std::array<std::uint8_t, kSectorSize> ebr{};
  std::uint64_t ebrRel = 0;
  for (int n = 0; n < kMaxBootRecords; ++n) {
    const std::uint64_t ebrSector = extBase + ebrRel;
    if (ebrSector >= diskSectors_ || !visited.insert(ebrSector).second) {
      break;
    }
    if (!readSectors(ebrSector, ebr)) {
      return kReadError;
    }
    // A boot record whose logical partition was deleted keeps an empty first entry and still
    // links on, so empty entries do not end it.
    std::optional<std::uint64_t> link;
    for (std::size_t i = 0; i < kMbrEntryCount; ++i) {
      const MbrEntry e = mbrEntry(ebr, i);
      if (e.type == 0) {
        continue;
      }
      if (isExtendedType(e.type)) {
        if (!link) {
          link = e.firstLba;
        }
        continue;
      }
      const std::uint64_t start = ebrSector + e.firstLba;
      if (start >= diskSectors_) {
        continue;
      }
      if (const int rc = listMbrEntry(e.type, start, e.sectorCount, true); rc != 0) {
        return rc;
      }
    }
    if (!link) {
      break;
    }
    ebrRel = *link;
  }
  return 0;
}

int Partition::listMbrEntry(std::uint8_t type, std::uint64_t start, std::uint32_t sectorCount,
                            bool logical) {
  std::string_view fsType = "Unknown";
  std::string status = "found UNKNOWN...";
  switch (type) {
  case 0x01:
    fsType = "FAT12";
    status.clear();
    break;
  case 0x04:
  case 0x06:
  case 0x0E:
    fsType = "FAT16";
    status = "found FAT 16...";
    break;
  case 0x0B:
  case 0x0C:
    fsType = "FAT32";
    status = "found FAT 32...";
    break;
  case 0x07: {
    std::array<std::uint8_t, kSectorSize> boot{};
    if (!readSectors(start, boot)) {
      return kReadError;
    }
    if (isExFatBootSector(boot)) {
      fsType = "FAT64";
      status = "found FAT64...";
    } else {
      fsType = "NTFS";
      status = logical ? std::string("found NTFS...") : format("found NTFS %d...", ++ntfsCount_);
    }
    break;
  }
  case 0x42:
    // Logical entries of this type are treated as any other unknown type.
    if (!logical) {
      fsType = "NTFS";
      status = "NTFS...";
    }
    break;
  case 0x83:
    fsType = "extX";
    status = logical ? "found extx..." : "found ext2...";
    break;
  default:
    break;
  }
  if (!status.empty()) {
    progress_.setStatus(status);
  }
  addVolume(fsType, format("%lld   MB", static_cast<long long>(sectorCount / kSectorsPerMiB)),
            start);
  return 0;
}

} // namespace quillon
