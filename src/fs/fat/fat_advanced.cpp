// The FAT16/FAT32 advanced mode: allocation-table candidates, the geometry chosen by hand, the
// scan of the whole volume for slots that look like directory entries, and the table built
// from them. The root directory and the folders found are walked like in the standard mode;
// slots that no folder claims are placed under "ORPHAN ENTRY".
#include "fs/fat/fat_candidates.h"
#include "fs/fat/fat_common.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>

namespace quillon::fat {

namespace {

constexpr std::size_t kAttributesOffset = 11;
constexpr std::size_t kCaseFlagsOffset = 12;
constexpr std::size_t kLongNameTypeOffset = 12;
constexpr std::size_t kLongNameClusterOffset = 26;
constexpr std::uint64_t kScanChunk = 4ULL << 20;
constexpr std::uint64_t kAssumedRootBytes = 512 * kSlotSize; // 512 root entries
constexpr std::uint32_t kOrphanIndex = 1;

// Characters a short name may hold (besides space, which may only pad it).
bool shortNameChar(std::uint8_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0x80) {
    return true;
  }
  for (const char allowed : std::string_view("!#$%&'()-@^_`{}~")) {
    if (c == static_cast<std::uint8_t>(allowed)) {
      return true;
    }
  }
  return false;
}

bool validDate(std::uint16_t d) {
  const unsigned day = d & 0x1F;
  const unsigned month = (d >> 5) & 0x0F;
  return day >= 1 && day <= 31 && month >= 1 && month <= 12;
}

bool validTime(std::uint16_t t) {
  return (t >> 11) < 24 && ((t >> 5) & 0x3F) < 60 && (t & 0x1F) < 30;
}

// A "." slot at the start of a folder's first cluster, followed by "..": it names the cluster
// it lies in.
bool isDotPair(Bytes slots) {
  static constexpr std::string_view kDot = ".          ";
  static constexpr std::string_view kDotDot = "..         ";
  if (slots.size() < 2 * kSlotSize || !isDirectoryClass(slots[kAttributesOffset])) {
    return false;
  }
  return std::equal(kDot.begin(), kDot.end(), slots.begin()) &&
         std::equal(kDotDot.begin(), kDotDot.end(), slots.begin() + kSlotSize);
}

} // namespace

bool acceptFoundSlot(Bytes slot, std::uint32_t maxCluster, bool fat32) {
  const std::uint8_t attributes = u8(slot, kAttributesOffset);
  const std::uint8_t first = u8(slot, 0);
  if (attributes == kLongNameAttributes) {
    const unsigned sequence = first & 0x1F;
    const bool sequenceOk = first == kDeletedMark ||
                            ((first & 0xA0) == 0 && sequence >= 1 && sequence <= kMaxLongNameSlots);
    return sequenceOk && u8(slot, kLongNameTypeOffset) == 0 &&
           le16(slot, kLongNameClusterOffset) == 0;
  }
  if ((attributes & 0xC8) != 0) { // volume labels and the reserved bits
    return false;
  }
  const bool firstOk = first == kDeletedMark || first == 0x05 || shortNameChar(first);
  const std::uint8_t second = u8(slot, 1);
  if (!firstOk || !(second == ' ' || shortNameChar(second))) {
    return false;
  }
  const FatEntry e = entryFromSlot(slot);
  // The modification stamp is always set; tools that keep no creation or access time leave
  // those fields 0.
  const bool datesOk = validDate(e.writeDate) && validTime(e.writeTime) &&
                       (validDate(e.createDate) || (e.createDate == 0 && e.createTime == 0)) &&
                       validTime(e.createTime) && (validDate(e.accessDate) || e.accessDate == 0);
  if (!datesOk) {
    return false;
  }
  const std::uint32_t cluster = e.firstCluster();
  const bool clusterOk = cluster >= 2 && cluster <= maxCluster;
  if ((attributes & 0x10) != 0) {
    if (first == kDeletedMark) {
      // A deleted folder keeps its first cluster (FAT16 keeps even a damaged one) and may have
      // any size.
      return !fat32 || clusterOk;
    }
    return clusterOk && e.fileSize == 0;
  }
  // Files: only the lower-case bits in byte 12; an empty file has no cluster.
  if ((u8(slot, kCaseFlagsOffset) & ~0x18U) != 0) {
    return false;
  }
  return cluster == 0 ? e.fileSize == 0 : clusterOk;
}

std::uint64_t FatVolume::readableBytes() const {
  const std::uint64_t disk = reader_.sectorCount() * kSectorSize;
  const std::uint64_t available = disk > reader_.baseOffset ? disk - reader_.baseOffset : 0;
  return volumeSize == 0 ? available : std::min(volumeSize, available);
}

std::vector<std::uint64_t> FatVolume::findFatCandidates(std::int64_t maximum) {
  const bool fat32 = isFat32();
  SignatureSearch search;
  search.signature = fat32 ? Bytes(kFat32TableSignature) : Bytes(kFat16TableSignature);
  if (fat32) {
    search.mask = kFat32TableMask;
  }
  search.maxCount = maximum <= 0 ? 3 : static_cast<std::size_t>(maximum);
  const double volumeBytes = static_cast<double>(volumeSize);
  if (fat32) {
    search.onChunk = [&](std::uint64_t start) {
      progress_.setStatus(format("Parsing Disk Currently at position %f of the disk of size %f",
                                 static_cast<double>(start), volumeBytes));
    };
  }
  search.onHit = [&](std::size_t found) {
    progress_.setStatus(format("found fat entry  %d ", static_cast<int>(found)));
  };
  fatCandidates = findSignatureSectors(reader_, readableBytes(), progress_, control_, search);
  if (!fat32) {
    control_.clearStop();
  }
  return fatCandidates;
}

bool FatVolume::setAdvancedGeometry(std::uint32_t sectorsPerCluster) {
  const std::uint64_t clusterSize = std::uint64_t{kSectorSize} * sectorsPerCluster;
  if (sectorsPerCluster == 0 || clusterSize > (1U << 20)) {
    return false;
  }
  advancedMode = true;
  const unsigned entryBytes = geometry.entryBytes;
  geometry = Geometry{};
  geometry.entryBytes = entryBytes;
  geometry.bytesPerSector = kSectorSize;
  geometry.clusterSize = static_cast<std::uint32_t>(clusterSize);
  const std::uint64_t count = readableBytes() / clusterSize;
  geometry.maxCluster = static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(count, 2, isFat32() ? 0x0FFFFFF6 : 0xFFF6) - 1);
  geometry.tableSize = (std::uint64_t{geometry.maxCluster} + 1) * entryBytes;
  tableBlocks_.clear();
  visitedDirClusters_.clear();
  return true;
}

void FatVolume::setTableAt(std::uint64_t offset) {
  geometry.tableOffset = offset;
  tableBlocks_.clear();
}

void FatVolume::scanForEntries() {
  entryPositions.clear();
  dotVotes_.clear();
  labelPosition_.reset();
  const bool fat32 = isFat32();
  const std::uint64_t total = readableBytes();
  const std::uint64_t clusterSize = geometry.clusterSize;
  progress_.setRange(0, fat32 ? 1000 : 100000);
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t start = 0; start < total; start += kScanChunk) {
    const double fraction = static_cast<double>(start) / static_cast<double>(total);
    if (fat32) {
      progress_.setStatus(
          format("found file or directory =  %d ", static_cast<int>(entryPositions.size())));
      progress_.setPosition(static_cast<std::uint64_t>(fraction * 1000));
    } else {
      progress_.setStatus(format("currently at sector %lld of %lld",
                                 static_cast<long long>(start / kSectorSize),
                                 static_cast<long long>(total / kSectorSize)));
      progress_.setPosition(static_cast<std::uint64_t>(fraction * 100000));
    }
    chunk.assign(std::min(kScanChunk, total - start), 0);
    (void)reader_.readAt(start, chunk); // an unreadable chunk reads as zeros: nothing is found
    const Bytes bytes(chunk);
    for (std::size_t at = 0; at + kSlotSize <= bytes.size(); at += kSlotSize) {
      const Bytes slot = bytes.subspan(at, kSlotSize);
      if (slot[0] == 0x00) {
        continue;
      }
      const std::uint64_t position = start + at;
      if (slot[0] == '.' && isDotPair(bytes.subspan(at))) {
        const std::uint32_t c = entryFromSlot(slot).firstCluster();
        const std::uint64_t before = std::uint64_t{c - 2} * clusterSize;
        if (c >= 2 && c <= geometry.maxCluster && position >= before) {
          ++dotVotes_[position - before];
        }
        continue;
      }
      if (!labelPosition_ && isVolumeLabel(slot[kAttributesOffset]) &&
          slot[kAttributesOffset] == 0x08 && shortNameChar(slot[0]) && le32(slot, 28) == 0) {
        labelPosition_ = position;
      }
      if (acceptFoundSlot(slot, geometry.maxCluster, fat32)) {
        entryPositions.push_back(position);
      }
    }
    if (control_.stopRequested()) {
      break; // the table is built from what was found so far
    }
  }
  control_.clearStop();
  progress_.setPosition(fat32 ? 1000 : 100000);
}

std::uint64_t FatVolume::chooseDataStart() const {
  if (bootGeometry && bootGeometry->clusterSize == geometry.clusterSize) {
    return bootGeometry->dataStart;
  }
  // Each folder's first cluster starts with "." naming that cluster: the start of cluster 2
  // most of them agree on is the data area's start.
  if (!dotVotes_.empty()) {
    return std::max_element(dotVotes_.begin(), dotVotes_.end(),
                            [](const auto &a, const auto &b) { return a.second < b.second; })
        ->first;
  }
  if (isFat32()) {
    // The label is the root's first slot, and the root usually is cluster 2.
    if (labelPosition_) {
      return *labelPosition_;
    }
    return entryPositions.empty() || entryPositions.front() < kSlotSize
               ? 0
               : entryPositions.front() - kSlotSize;
  }
  // Two tables of two bytes a cluster, rounded to whole sectors, after reserved sectors,
  // then 512 root entries.
  const std::uint64_t tableBytes = 2ULL * (geometry.maxCluster + 1);
  const std::uint64_t rounded = (tableBytes / 512 + 1) * 512;
  return 2 * (rounded + 2048) + kAssumedRootBytes;
}

std::optional<FatEntry> FatVolume::recordAt(std::uint64_t p) {
  // The slot and up to a full long name before it.
  const std::uint64_t before = std::min<std::uint64_t>(p, kMaxLongNameSlots * kSlotSize);
  std::vector<std::uint8_t> window(before + kSlotSize);
  (void)reader_.readAt(p - before, window);
  const Bytes slot = Bytes(window).subspan(before, kSlotSize);
  const std::uint8_t attributes = slot[kAttributesOffset];
  if (attributes == kLongNameAttributes || slot[0] == '.' || slot[0] == 0x00 ||
      isVolumeLabel(attributes)) {
    return std::nullopt; // long-name slots are taken with the slot that follows them
  }
  processedPositions.insert(p);
  std::size_t start = before;
  while (start >= kSlotSize &&
         window[start - kSlotSize + kAttributesOffset] == kLongNameAttributes &&
         !processedPositions.contains(p - before + start - kSlotSize)) {
    start -= kSlotSize;
  }
  std::optional<LongName> longName;
  if (start < before) {
    auto [name, next] = gatherLongName(window, start);
    if (next == before && name.belongsTo(slot)) {
      longName = std::move(name);
      for (std::size_t at = start; at < before; at += kSlotSize) {
        processedPositions.insert(p - before + at);
      }
    }
  }
  FatEntry entry = entryFromSlot(slot);
  nameEntry(entry, slot, longName);
  return entry;
}

std::vector<FatEntry> FatVolume::buildEntriesFromPositions() {
  entries.clear();
  processedPositions.clear();
  visitedDirClusters_.clear();
  geometry.dataStart = chooseDataStart();
  advancedDataStart = geometry.dataStart;
  FatEntry dummy;
  dummy.attributes = kLongNameAttributes;
  dummy.name = "DUMMY ENTRY";
  entries.push_back(dummy);
  FatEntry orphans;
  orphans.attributes = 0x10;
  orphans.name = "ORPHAN ENTRY";
  orphans.selfIndex = kOrphanIndex;
  entries.push_back(orphans);

  claims_ = &processedPositions;
  // The root directory: FAT16's fixed area before the data, FAT32's chain from its cluster.
  FolderBytes root;
  if (isFat32()) {
    const std::uint32_t rootCluster =
        bootGeometry && bootGeometry->clusterSize == geometry.clusterSize
            ? bootGeometry->rootCluster
            : 2;
    root = readFolder(rootCluster, kMaxDirectoryBytes / kSlotSize);
  } else {
    const std::uint64_t rootBytes =
        bootGeometry && bootGeometry->clusterSize == geometry.clusterSize ? bootGeometry->rootSize
                                                                          : kAssumedRootBytes;
    if (geometry.dataStart >= rootBytes) {
      root = readContiguous(geometry.dataStart - rootBytes, rootBytes);
    }
  }
  const auto inRoot = [&root, this](std::uint64_t p) {
    return std::any_of(root.clusterOffsets.begin(), root.clusterOffsets.end(),
                       [&](std::uint64_t c) { return p >= c && p - c < geometry.clusterSize; });
  };
  // A guessed root that holds none of the slots found is not a directory: it is not walked.
  if (std::any_of(entryPositions.begin(), entryPositions.end(), inRoot)) {
    walkFolders(0, std::move(root), false);
  } else {
    root = FolderBytes{};
  }

  for (const std::uint64_t p : entryPositions) {
    if (control_.stopRequested()) {
      break;
    }
    // Long-name slots stay unclaimed here: the slot after them takes them with its name.
    if (processedPositions.contains(p)) {
      continue;
    }
    std::optional<FatEntry> entry = recordAt(p);
    if (!entry) {
      continue;
    }
    entry->parentIndex = inRoot(p) ? 0 : kOrphanIndex;
    entry->selfIndex = static_cast<std::uint32_t>(entries.size());
    const std::uint32_t cluster = entry->firstCluster();
    const bool folder = isDirectoryClass(entry->attributes);
    const bool deleted = entry->deleted != 0;
    const std::uint32_t self = entry->selfIndex;
    entries.push_back(std::move(*entry));
    if (folder && geometry.validCluster(cluster)) {
      FolderBytes contents = readFolder(cluster, deleted ? 1 : kMaxDirectoryBytes / kSlotSize);
      if (!contents.data.empty()) {
        walkFolders(self, std::move(contents), true);
      }
    }
  }
  claims_ = nullptr;
  processedPositions.clear();
  return entries;
}

bool FatVolume::advancedScan(std::size_t candidateIndex, std::uint32_t sectorsPerCluster) {
  control_.clearStop();
  if (candidateIndex >= fatCandidates.size() || !setAdvancedGeometry(sectorsPerCluster)) {
    return false;
  }
  entries.clear();
  setTableAt(fatCandidates[candidateIndex]);
  scanForEntries();
  progress_.setStatus("Maintaining directory Structure in AdvanceScanning");
  entries = buildEntriesFromPositions();
  progress_.setStatus(isFat32() ? "Maintaining TreeStructure for Tree Control"
                                : "Maintaining Tree Structure for Tree Control");
  linkChildren();
  return true;
}

} // namespace quillon::fat
