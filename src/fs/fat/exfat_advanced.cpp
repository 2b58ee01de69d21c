// Fat64Class, advanced mode: allocation-table and cluster-heap candidates, the scan of the whole
// volume for entry sets with a chosen cluster size, and the entry table built from the sets
// found. Folders found are walked like in the standard mode; sets that lie beyond the root
// directory and that no folder claims are gathered under "ORPHAN ENTRY".
#include "fs/fat/exfat.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "fs/fat/fat_candidates.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quillon {
namespace {

constexpr std::size_t kDefaultMaximum = 3;
// Boot region: the backup boot sector is sector 12 of the volume.
constexpr std::uint64_t kBackupBootSector = 12;
// The largest cluster shift for 512-byte sectors (32 MiB clusters).
constexpr unsigned kMaxClusterShift = 16;
// Highest cluster count an allocation table can describe (clusters 2 .. 0xFFFFFFF6).
constexpr std::uint64_t kMaxClusterCount = 0xFFFFFFF5;
// The entry scan reads this much at a time, plus the longest set's tail past it.
constexpr std::uint64_t kScanChunk = 1ULL << 20;
constexpr std::size_t kLongestSetBytes = kExFatEntrySize * (2 + kExFatMaxNameEntries);
// The builder reads this much around each found position.
constexpr std::size_t kSetWindow = 2048;
// Heap candidates: every sector whose first eight bytes are set (a well-filled bitmap).
constexpr std::uint8_t kHeapSignature[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Entry types and fields the scan tests.
constexpr std::uint8_t kVolumeLabelEntry = 0x83;
constexpr std::uint8_t kUpcaseEntry = 0x82;
constexpr std::size_t kUpcaseChecksumOffset = 4;
constexpr std::size_t kFirstClusterOffset = 20;
constexpr std::size_t kDataLengthOffset = 24;
constexpr std::size_t kNameLengthOffset = 3;
constexpr std::size_t kStreamFlagsOffset = 1;
// The up-case table maps 65536 UTF-16 units at most.
constexpr std::uint64_t kMaxUpcaseBytes = 2 * 65536;
constexpr std::size_t kMaxUpcaseEntries = 8;
constexpr std::size_t kMaxUpcaseSectors = 16;
// An up-case table starts by mapping the first code units to themselves.
constexpr std::uint8_t kUpcaseStart[] = {0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00};

bool allZero(Bytes b, std::size_t from, std::size_t to) {
  return std::all_of(b.begin() + static_cast<std::ptrdiff_t>(from),
                     b.begin() + static_cast<std::ptrdiff_t>(to),
                     [](std::uint8_t v) { return v == 0; });
}

std::size_t maximumCount(std::int64_t maximum) {
  return maximum <= 0 ? kDefaultMaximum : static_cast<std::size_t>(maximum);
}

void appendOnce(std::vector<std::uint64_t> &list, std::uint64_t value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) {
    list.push_back(value);
  }
}

// The checksum an up-case table entry keeps of the table's bytes.
std::uint32_t tableChecksum(Bytes data) {
  std::uint32_t sum = 0;
  for (const std::uint8_t b : data) {
    sum = ((sum & 1) != 0 ? 0x80000000U : 0) + (sum >> 1) + b;
  }
  return sum;
}

} // namespace

const std::vector<std::uint64_t> &Fat64Class::findFatCandidates(std::int64_t maximum) {
  if (volumeSize == 0) {
    volumeSize = recordVolumeBytes();
  }
  fat::SignatureSearch search;
  search.signature = Bytes(fat::kExFatTableSignature);
  search.maxCount = maximumCount(maximum);
  search.onHit = [&](std::size_t found) {
    progress_.setStatus(format("found fat entry  %d ", static_cast<int>(found)));
  };
  fatCandidates = fat::findSignatureSectors(reader_, readableBytes(), progress_, control_, search);
  return fatCandidates;
}

void Fat64Class::noteTrustedBootSector() {
  if (bootSectorValid) {
    return; // readBootSector noted the main boot sector's values
  }
  trustedHeapOffset.reset();
  trustedClusterShift.reset();
  // The backup boot sector sits at sector 12 in units of its own sector size.
  for (unsigned shift = 9; shift <= 12; ++shift) {
    std::array<std::uint8_t, 512> sector{};
    if (!reader_.readAt(kBackupBootSector << shift, sector)) {
      continue;
    }
    const std::optional<ExFatBootFields> f = parseExFatBootSector(sector);
    if (f && f->bytesPerSectorShift == shift && f->heapOffset != 0) {
      trustedHeapOffset = f->heapOffset;
      // The advanced geometry counts 512-byte sectors.
      trustedClusterShift = f->bytesPerSectorShift - 9 + f->sectorsPerClusterShift;
      return;
    }
  }
}

const std::vector<std::uint64_t> &Fat64Class::findHeapCandidates(std::int64_t maximum) {
  if (volumeSize == 0) {
    volumeSize = recordVolumeBytes();
  }
  heapLimit_ = maximumCount(maximum) + 1;
  noteTrustedBootSector();
  fat::SignatureSearch search;
  search.signature = Bytes(kHeapSignature);
  search.maxCount = heapLimit_;
  const std::vector<std::uint64_t> found =
      fat::findSignatureSectors(reader_, readableBytes(), progress_, control_, search);
  // The boot sector's own offset goes first; the list keeps its length.
  heapCandidates.clear();
  if (trustedHeapOffset) {
    heapCandidates.push_back(*trustedHeapOffset);
  }
  for (const std::uint64_t offset : found) {
    if (heapCandidates.size() < heapLimit_) {
      appendOnce(heapCandidates, offset);
    }
  }
  searchedHeaps_ = heapCandidates;
  return heapCandidates;
}

std::vector<unsigned> Fat64Class::offeredClusterShifts() const {
  std::vector<unsigned> shifts;
  if (trustedClusterShift) {
    shifts.push_back(*trustedClusterShift);
  }
  for (const unsigned s : {8U, 9U, 10U, 11U}) {
    shifts.push_back(s);
  }
  return shifts;
}

void Fat64Class::setAdvancedGeometry(unsigned shift) {
  shift = std::min(shift, kMaxClusterShift);
  advancedMode = true;
  bytesPerSector = kSectorSize;
  sectorsPerClusterShift = static_cast<std::uint8_t>(shift);
  sectorsPerCluster = 1ULL << shift;
  clusterSize = bytesPerSector * sectorsPerCluster;
}

std::size_t Fat64Class::scanEntryAt(Bytes buffer, std::size_t at, std::uint64_t start) {
  const Bytes entry = buffer.subspan(at, kExFatEntrySize);
  const std::uint8_t type = entry[0];
  if (type == kVolumeLabelEntry) {
    // The first label seen: the root directory's first cluster of a freshly made volume.
    if (allZero(entry, 24, 32) && labelPosition == 0) {
      labelPosition = start + at;
    }
    return at + kExFatEntrySize;
  }
  if (type == kUpcaseEntry) {
    const UpcaseEntry u{le32(entry, kUpcaseChecksumOffset), le32(entry, kFirstClusterOffset),
                        le64(entry, kDataLengthOffset)};
    if (allZero(entry, 1, 4) && allZero(entry, 8, 20) && u.firstCluster >= 2 && u.dataLength != 0 &&
        u.dataLength <= kMaxUpcaseBytes && upcaseEntries_.size() < kMaxUpcaseEntries &&
        std::find(upcaseEntries_.begin(), upcaseEntries_.end(), u) == upcaseEntries_.end()) {
      upcaseEntries_.push_back(u);
    }
    return at + kExFatEntrySize;
  }
  if (!isExFatFileEntryType(type)) {
    return at + kExFatEntrySize;
  }
  // A file entry: attribute bits only among read-only, hidden, system, directory and archive;
  // its reserved bytes zero.
  if ((entry[4] & ~0x37U) != 0 || !allZero(entry, 6, 8) || !allZero(entry, 25, 32)) {
    return at + kExFatEntrySize;
  }
  // The stream extension: reserved bytes zero and allocation possible (with or without a chain).
  std::size_t next = at + kExFatEntrySize;
  if (buffer.size() - next < kExFatEntrySize) {
    return next;
  }
  const Bytes stream = buffer.subspan(next, kExFatEntrySize);
  const std::uint8_t flags = stream[kStreamFlagsOffset];
  if ((stream[0] != kExFatStreamEntry && stream[0] != kExFatDeletedStreamEntry) || stream[2] != 0 ||
      !allZero(stream, 6, 8) || !allZero(stream, 16, 20) || (flags != 1 && flags != 3) ||
      stream[kNameLengthOffset] == 0) {
    return next;
  }
  next += kExFatEntrySize;
  const std::size_t names =
      (stream[kNameLengthOffset] + kExFatNameUnitsPerEntry - 1) / kExFatNameUnitsPerEntry;
  for (std::size_t n = 0; n < names; ++n, next += kExFatEntrySize) {
    // A set that falls short resumes the scan at the entry that broke it, which may start the
    // next set.
    if (buffer.size() - next < kExFatEntrySize) {
      return next;
    }
    const std::uint8_t nameType = buffer[next];
    if ((nameType != kExFatNameEntry && nameType != kExFatDeletedNameEntry) ||
        buffer[next + 1] > 3) {
      return next;
    }
  }
  entryPositions.push_back(start + at);
  progress_.setStatus(format("found Entry %d ", static_cast<int>(entryPositions.size())));
  return next;
}

void Fat64Class::scanForEntries() {
  entryPositions.clear();
  labelPosition = 0;
  upcaseEntries_.clear();
  upcaseDataSectors_.clear();
  if (clusterSize == 0) {
    setAdvancedGeometry(sectorsPerClusterShift);
  }
  if (volumeSize == 0) {
    volumeSize = recordVolumeBytes();
  }
  const std::uint64_t total = readableBytes();
  const std::uint64_t chunkBytes = std::max(kScanChunk, clusterSize);
  progress_.setRange(0, 1000);
  std::vector<std::uint8_t> buffer;
  std::uint64_t resume = 0; // volume offset of the next entry to test
  bool stopped = false;
  for (std::uint64_t start = 0; start < total && !stopped; start += chunkBytes) {
    progress_.setPosition(
        static_cast<std::uint64_t>(static_cast<double>(start) / static_cast<double>(total) * 1000));
    if (!control_.checkpoint()) {
      break;
    }
    const std::uint64_t length = std::min(chunkBytes, total - start);
    buffer.assign(std::min<std::uint64_t>(length + kLongestSetBytes, total - start), 0);
    (void)reader_.readAt(start, buffer); // an unreadable stretch reads as zeros: nothing found
    const Bytes bytes(buffer);
    for (std::uint64_t s = 0; s + sizeof kUpcaseStart <= length; s += kSectorSize) {
      if (upcaseDataSectors_.size() < kMaxUpcaseSectors &&
          std::memcmp(bytes.data() + s, kUpcaseStart, sizeof kUpcaseStart) == 0) {
        upcaseDataSectors_.push_back(start + s);
      }
    }
    std::uint64_t cluster = resume / clusterSize;
    std::size_t at = static_cast<std::size_t>(std::max(resume, start) - start);
    while (at < length && bytes.size() - at >= kExFatEntrySize) {
      // A stop ends the scan where a cluster ends.
      const std::uint64_t here = (start + at) / clusterSize;
      if (here != cluster) {
        cluster = here;
        if (control_.stopRequested()) {
          stopped = true;
          break;
        }
      }
      at = scanEntryAt(bytes, at, start);
    }
    resume = start + at;
  }
  if (control_.stopRequested()) {
    control_.clearStop(); // the table is built from what was found
  }
  progress_.setPosition(1000);
  // Offsets the up-case table gives come before the all-0xFF sectors, after the boot sector's.
  const std::vector<std::uint64_t> evidence = heapOffsetsFromEvidence();
  std::vector<std::uint64_t> merged;
  if (trustedHeapOffset) {
    merged.push_back(*trustedHeapOffset);
  }
  for (const std::uint64_t offset : evidence) {
    appendOnce(merged, offset);
  }
  for (const std::uint64_t offset : searchedHeaps_) {
    appendOnce(merged, offset);
  }
  merged.resize(std::min(merged.size(), std::max(heapLimit_, evidence.size() + 1)));
  heapCandidates = std::move(merged);
}

// Evidence rule: the up-case table's entry (type 0x82, in the root directory) names the table's
// first cluster u, its length and a checksum of its bytes. The table's data starts with the
// UTF-16 units 0, 1, 2, 3, so a sector s that starts that way and whose bytes carry the checksum
// is cluster u, and the heap (cluster 2) starts at s - (u - 2) × cluster size. Sectors whose
// bytes do not carry the checksum are used only when none does (a damaged table).
std::vector<std::uint64_t> Fat64Class::heapOffsetsFromEvidence() {
  std::vector<std::uint64_t> verified;
  std::vector<std::uint64_t> unverified;
  const std::uint64_t total = readableBytes();
  std::vector<std::uint8_t> table;
  for (const UpcaseEntry &u : upcaseEntries_) {
    const std::uint64_t before = (u.firstCluster - 2ULL) * clusterSize;
    for (const std::uint64_t sector : upcaseDataSectors_) {
      if (sector < before || sector - before == 0 || sector - before >= total) {
        continue;
      }
      const std::uint64_t heap = sector - before;
      table.assign(static_cast<std::size_t>(std::min(u.dataLength, total - sector)), 0);
      const bool whole = table.size() == u.dataLength && reader_.readAt(sector, table);
      appendOnce(whole && tableChecksum(table) == u.checksum ? verified : unverified, heap);
    }
  }
  return verified.empty() ? unverified : verified;
}

std::vector<ExFatEntry> Fat64Class::buildEntriesFromPositions(std::uint64_t heap,
                                                              std::uint64_t table) {
  if (clusterSize == 0) {
    setAdvancedGeometry(sectorsPerClusterShift);
  }
  heapOffset = heap;
  fatOffset = table;
  const std::uint64_t readable = readableBytes();
  clusterCount = heap < readable ? std::min((readable - heap) / clusterSize, kMaxClusterCount) : 0;
  fatLength = table < readable ? std::min((clusterCount + 2) * 4, readable - table) : 0;
  fatCache_.clear();
  entries.clear();
  processedPositions.clear();
  visitedDirOffsets.clear();

  // Root level: sets up to one cluster past the volume label (or past the first set found when
  // there is no label), and sets in the clusters of the root directory's chain, which starts
  // at the cluster that holds the label.
  std::uint64_t threshold = 0;
  std::set<std::uint64_t> rootClusters;
  const auto clusterOf = [&](std::uint64_t position) -> std::optional<std::uint32_t> {
    if (position < heapOffset || clusterSize == 0) {
      return std::nullopt;
    }
    const std::uint64_t index = (position - heapOffset) / clusterSize;
    if (index >= clusterCount) {
      return std::nullopt;
    }
    return static_cast<std::uint32_t>(index + 2);
  };
  const auto noteRootChain = [&](std::uint64_t base) {
    std::optional<std::uint32_t> c = clusterOf(base);
    lookupCount = 0;
    const std::uint64_t maxClusters = std::max<std::uint64_t>(1, (256ULL << 20) / clusterSize);
    while (c && rootClusters.size() < maxClusters && rootClusters.insert(*c).second) {
      const std::uint32_t next = nextCluster(*c);
      c = chainEnds(next) ? std::nullopt : std::optional<std::uint32_t>(next);
    }
  };

  std::array<std::uint8_t, kSetWindow> window{};
  for (const std::uint64_t p : entryPositions) {
    if (!control_.checkpoint()) {
      break; // stopped: the table keeps what was built so far
    }
    if (!processedPositions.insert(p).second) {
      continue; // already a record, through a folder's walk
    }
    const std::uint64_t base = p / kSectorSize * kSectorSize;
    window.fill(0);
    (void)reader_.readAt(base, window);
    std::optional<ExFatEntrySet> set = parseExFatEntrySet(window, p - base);
    if (!set) {
      continue;
    }
    ExFatEntry &e = set->entry;
    if (entries.empty()) {
      if (labelPosition == 0) {
        labelPosition = p;
      }
      threshold = labelPosition + clusterSize;
      noteRootChain(labelPosition);
      ExFatEntry dummy = e;
      dummy.name = kExFatDummyName;
      dummy.parentIndex = 0;
      dummy.selfIndex = 0;
      entries.push_back(dummy);
      // The orphan folder takes the first set's times but has no data of its own.
      ExFatEntry orphan = e;
      orphan.name = kExFatOrphanName;
      orphan.entryType = kExFatFileEntry;
      orphan.attributes = 0x10;
      orphan.firstCluster = 0;
      orphan.validDataLength = 0;
      orphan.dataLength = 0;
      orphan.parentIndex = 0;
      orphan.selfIndex = kExFatOrphanIndex;
      entries.push_back(std::move(orphan));
    }
    const std::optional<std::uint32_t> cluster = clusterOf(p);
    const bool rootLevel = p <= threshold || (cluster && rootClusters.count(*cluster) != 0);
    e.parentIndex = rootLevel ? 0 : kExFatOrphanIndex;
    e.selfIndex = static_cast<std::uint32_t>(entries.size());
    const bool folder = e.isFolder() && e.firstCluster != 0;
    const std::uint32_t first = e.firstCluster;
    const bool contiguous = e.contiguous();
    const std::uint64_t clusters =
        e.dataLength == 0 ? clusterCount : (e.dataLength - 1) / clusterSize + 1;
    entries.push_back(std::move(e));
    if (folder) {
      std::vector<std::uint64_t> offsets;
      std::vector<std::uint8_t> bytes = readFolder(first, contiguous, clusters, &offsets);
      if (!bytes.empty()) {
        walkFolderTree(std::move(bytes), std::move(offsets), entries.back().selfIndex);
      }
    }
  }
  processedPositions.clear();
  visitedDirOffsets.clear();
  return entries;
}

void Fat64Class::runCandidateSearch(std::int64_t maximum) {
  control_.clearStop();
  attachReader();
  (void)readBootSector();
  progress_.setStatus("Finding Fat64 entries....");
  (void)findFatCandidates(maximum);
  (void)findHeapCandidates(maximum);
  progress_.setStatus("Parsing done.Click Next to continue.");
}

bool Fat64Class::runAdvancedScan(std::size_t candidateIndex, unsigned shift,
                                 std::optional<std::size_t> heapIndex) {
  control_.clearStop();
  attachReader();
  if (volumeSize == 0) {
    volumeSize = recordVolumeBytes();
  }
  setAdvancedGeometry(shift);
  entries.clear();
  const std::uint64_t table =
      candidateIndex < fatCandidates.size() ? fatCandidates[candidateIndex] : 0;
  // Without a table candidate nothing can be built: the scan is not worth its time.
  if (table != 0) {
    scanForEntries();
  }
  // A heap candidate chosen by hand is one of the list the user was shown, before the scan
  // added what the up-case table gives.
  const std::vector<std::uint64_t> &heaps = heapIndex ? searchedHeaps_ : heapCandidates;
  const std::size_t h = heapIndex.value_or(candidateIndex);
  const std::uint64_t heap = h < heaps.size() ? heaps[h] : 0;
  progress_.setStatus("Maintaining TreeStructure for Tree Control");
  const bool build = table != 0 && heap != 0;
  if (build) {
    entries = buildEntriesFromPositions(heap, table);
    linkChildren();
  }
  progress_.inform("Scanning process completed...");
  progress_.setStatus("Processing done...");
  return build;
}

} // namespace quillon
