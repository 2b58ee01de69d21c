// Fat64Class: boot sector and geometry, allocation-table lookups, reading folders through their
// chains, the depth-first walk of the directory tree, and linking the table.
#include "fs/fat/exfat.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <map>

namespace quillon {
namespace {

constexpr std::size_t kNameOffset = 3; // "EXFAT   "
constexpr std::size_t kVolumeLengthOffset = 72;
constexpr std::size_t kFatOffsetOffset = 80;
constexpr std::size_t kFatLengthOffset = 84;
constexpr std::size_t kHeapOffsetOffset = 88;
constexpr std::size_t kClusterCountOffset = 92;
constexpr std::size_t kRootClusterOffset = 96;
constexpr std::size_t kBytesPerSectorShiftOffset = 108;
constexpr std::size_t kSectorsPerClusterShiftOffset = 109;

constexpr std::uint32_t kChainEnd = 0xFFFFFFFF;
// Values from 0xFFFFFFF7 (bad cluster) up end a chain.
constexpr std::uint32_t kFirstEndValue = 0xFFFFFFF7;
// A folder holds at most 256 MiB of entries.
constexpr std::uint64_t kMaxFolderBytes = 256ULL << 20;
constexpr std::uint64_t kFatWindow = 1ULL << 20;

std::uint64_t saturatingShift(std::uint64_t value, unsigned shift) {
  return value > (~std::uint64_t{0} >> shift) ? ~std::uint64_t{0} : value << shift;
}

} // namespace

Fat64Class::Fat64Class(readWriteInterface &reader, Progress &progress, WorkerControl &control,
                       VolumeRecord volume)
    : reader_(reader), progress_(progress), control_(control), volume_(std::move(volume)) {}

void Fat64Class::attachReader() { reader_.baseOffset = volume_.startSector * kSectorSize; }

std::uint64_t Fat64Class::readableBytes() const {
  const std::uint64_t disk = reader_.sectorCount() * kSectorSize;
  const std::uint64_t available = disk > reader_.baseOffset ? disk - reader_.baseOffset : 0;
  return std::min(volumeSize, available);
}

std::optional<ExFatBootFields> parseExFatBootSector(Bytes sector) {
  if (sector.size() < kSectorSize || !hasBytes(sector, kNameOffset, "EXFAT")) {
    return std::nullopt;
  }
  ExFatBootFields f;
  f.bytesPerSectorShift = sector[kBytesPerSectorShiftOffset];
  f.sectorsPerClusterShift = sector[kSectorsPerClusterShiftOffset];
  // Sectors of 512 to 4096 bytes, clusters of at most 32 MiB.
  if (f.bytesPerSectorShift < 9 || f.bytesPerSectorShift > 12 ||
      f.bytesPerSectorShift + f.sectorsPerClusterShift > 25) {
    return std::nullopt;
  }
  const unsigned bpsShift = f.bytesPerSectorShift;
  f.fatOffset = static_cast<std::uint64_t>(le32(sector, kFatOffsetOffset)) << bpsShift;
  f.fatLength = static_cast<std::uint64_t>(le32(sector, kFatLengthOffset)) << bpsShift;
  f.heapOffset = static_cast<std::uint64_t>(le32(sector, kHeapOffsetOffset)) << bpsShift;
  f.volumeLength = saturatingShift(le64(sector, kVolumeLengthOffset), bpsShift);
  f.clusterCount = le32(sector, kClusterCountOffset);
  f.rootCluster = le32(sector, kRootClusterOffset);
  return f;
}

std::uint64_t Fat64Class::recordVolumeBytes() const {
  const std::uint64_t bytes = saturatingShift(volumeSizeMiB(volume_.volumeSizeText), 20);
  if (bytes != 0) {
    return bytes;
  }
  const std::uint64_t disk = reader_.sectorCount() * kSectorSize;
  return disk > reader_.baseOffset ? disk - reader_.baseOffset : 0;
}

bool Fat64Class::readBootSector() {
  bootSectorValid = false;
  trustedHeapOffset.reset();
  trustedClusterShift.reset();
  volumeSize = recordVolumeBytes();
  std::array<std::uint8_t, 512> sector{};
  if (!reader_.readAt(0, sector)) {
    (void)progress_.message("cant read file", kAppTitle, MessageIcon::Information,
                            MessageButtons::Ok);
    return false;
  }
  const std::optional<ExFatBootFields> f = parseExFatBootSector(sector);
  if (!f) {
    return false;
  }
  bytesPerSector = 1ULL << f->bytesPerSectorShift;
  sectorsPerCluster = 1ULL << f->sectorsPerClusterShift;
  sectorsPerClusterShift = static_cast<std::uint8_t>(f->sectorsPerClusterShift);
  clusterSize = bytesPerSector * sectorsPerCluster;
  fatOffset = f->fatOffset;
  fatLength = f->fatLength;
  heapOffset = f->heapOffset;
  rootCluster = f->rootCluster;
  if (f->volumeLength != 0) {
    volumeSize = f->volumeLength;
  }
  // Only clusters that lie wholly inside the volume and the image are clusters.
  const std::uint64_t readable = readableBytes();
  const std::uint64_t heapClusters =
      readable > heapOffset ? (readable - heapOffset) / clusterSize : 0;
  clusterCount = std::min<std::uint64_t>(f->clusterCount, heapClusters);
  fatCache_.clear();
  bootSectorValid = true;
  // What the advanced mode offers first; its geometry counts 512-byte sectors.
  if (heapOffset != 0) {
    trustedHeapOffset = heapOffset;
  }
  trustedClusterShift = f->bytesPerSectorShift - 9 + f->sectorsPerClusterShift;
  return true;
}

bool Fat64Class::chainEnds(std::uint32_t value) const {
  return value >= kFirstEndValue || !clusterValid(value);
}

std::uint32_t Fat64Class::nextCluster(std::uint32_t cluster) {
  ++lookupCount;
  chainValue = kChainEnd;
  const std::uint64_t entry = 4ULL * cluster;
  if (driveFormatted || !clusterValid(cluster) || entry + 4 > fatLength) {
    return chainValue;
  }
  const std::uint64_t position = fatOffset + entry;
  if (fatCache_.empty() || position < fatCacheStart_ ||
      position + 4 > fatCacheStart_ + fatCache_.size()) {
    const std::uint64_t start = fatOffset + entry / kFatWindow * kFatWindow;
    const std::uint64_t end =
        std::min({start + kFatWindow, fatOffset + fatLength, readableBytes()});
    if (end < position + 4) {
      return chainValue;
    }
    fatCache_.assign(end - start, 0);
    if (!reader_.readAt(start, fatCache_)) {
      fatCache_.clear();
      return chainValue;
    }
    fatCacheStart_ = start;
  }
  chainValue = le32(fatCache_, position - fatCacheStart_);
  return chainValue;
}

std::vector<std::uint8_t> Fat64Class::readFolder(std::uint32_t firstCluster, bool contiguous,
                                                 std::uint64_t maxClusters,
                                                 std::vector<std::uint64_t> *clusterOffsets) {
  std::vector<std::uint8_t> bytes;
  maxClusters = std::min(maxClusters, std::max<std::uint64_t>(1, kMaxFolderBytes / clusterSize));
  std::uint32_t cluster = firstCluster;
  lookupCount = 0;
  for (std::uint64_t n = 0; n < maxClusters && clusterValid(cluster); ++n) {
    // A cluster met again (a loop, or a folder that holds itself) ends the folder.
    if (!visitedDirOffsets.insert(clusterOffset(cluster)).second) {
      break;
    }
    const std::size_t at = bytes.size();
    bytes.resize(at + clusterSize);
    if (!reader_.readAt(clusterOffset(cluster),
                        std::span<std::uint8_t>(bytes).subspan(at, clusterSize))) {
      bytes.resize(at);
      break;
    }
    if (clusterOffsets != nullptr) {
      clusterOffsets->push_back(clusterOffset(cluster));
    }
    if (contiguous) {
      ++cluster;
    } else {
      const std::uint32_t next = nextCluster(cluster);
      if (chainEnds(next)) {
        break;
      }
      cluster = next;
    }
  }
  return bytes;
}

bool Fat64Class::loadRootDirectory() {
  rootBuffer.clear();
  visitedDirOffsets.clear();
  if (!clusterValid(rootCluster)) {
    return false;
  }
  rootBuffer = readFolder(rootCluster, false, clusterCount);
  return !rootBuffer.empty();
}

std::vector<ExFatEntry> Fat64Class::walkRootDirectory() {
  entries.clear();
  bitmapEntryPosition.reset();
  walkFolderTree(std::move(rootBuffer), {}, 0);
  rootBuffer.clear();
  visitedDirOffsets.clear();
  return entries;
}

void Fat64Class::walkFolderTree(std::vector<std::uint8_t> bytes,
                                std::vector<std::uint64_t> clusterOffsets, std::uint32_t parent) {
  // One frame per folder being walked: its bytes and where each of its clusters lies, where the
  // walk stands in them, its record and its folders so far by first cluster (two folder sets
  // that share a first cluster are one folder: the later set only renames the earlier record).
  struct Frame {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint64_t> clusters;
    std::size_t offset = 0;
    std::uint32_t parent = 0;
    std::map<std::uint32_t, std::uint32_t> folders;
  };
  std::vector<Frame> stack;
  stack.push_back(Frame{std::move(bytes), std::move(clusterOffsets), 0, parent, {}});
  while (!stack.empty()) {
    if (!control_.checkpoint()) {
      break; // stopped: the table keeps what was found so far
    }
    Frame &frame = stack.back();
    if (frame.bytes.size() - frame.offset < kExFatEntrySize) {
      stack.pop_back();
      continue;
    }
    const std::uint8_t type = frame.bytes[frame.offset];
    if (!isExFatFileEntryType(type)) {
      if (type == kExFatBitmapEntry && stack.size() == 1 && !advancedMode && !bitmapEntryPosition) {
        bitmapEntryPosition = frame.offset;
      }
      frame.offset += kExFatEntrySize;
      continue;
    }
    if (advancedMode) {
      // A set that is already a record (found by the scan before its folder, or by another walk)
      // ends this cluster: it and the rest of the cluster stay where they were put.
      const std::size_t index = frame.offset / clusterSize;
      if (index < frame.clusters.size() &&
          !processedPositions.insert(frame.clusters[index] + frame.offset % clusterSize).second) {
        frame.offset = (index + 1) * clusterSize;
        continue;
      }
    }
    std::optional<ExFatEntrySet> set = parseExFatEntrySet(frame.bytes, frame.offset);
    frame.offset += set->entryCount * kExFatEntrySize;
    ExFatEntry &e = set->entry;
    if (entries.empty()) {
      ExFatEntry dummy = e;
      dummy.name = kExFatDummyName;
      entries.push_back(std::move(dummy));
    }
    e.parentIndex = frame.parent;
    e.selfIndex = static_cast<std::uint32_t>(entries.size());
    if (!e.isFolder()) {
      entries.push_back(std::move(e));
      continue;
    }
    if (e.firstCluster != 0) {
      const auto known = frame.folders.find(e.firstCluster);
      if (known != frame.folders.end()) {
        // A renamed folder leaves a deleted set behind that names the same cluster: the live
        // set wins; between sets of the same state the later name is taken.
        ExFatEntry &earlier = entries[known->second];
        if (earlier.deleted() && !e.deleted()) {
          e.parentIndex = earlier.parentIndex;
          e.selfIndex = earlier.selfIndex;
          earlier = std::move(e);
        } else if (earlier.deleted() == e.deleted()) {
          earlier.name = e.name;
        }
        continue;
      }
      frame.folders.emplace(e.firstCluster, e.selfIndex);
    }
    const std::uint32_t self = e.selfIndex;
    const std::uint32_t first = e.firstCluster;
    const bool contiguous = e.contiguous();
    const std::uint64_t clusters =
        e.dataLength == 0 ? clusterCount : (e.dataLength - 1) / clusterSize + 1;
    entries.push_back(std::move(e));
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint8_t> folderBytes =
        readFolder(first, contiguous, clusters, advancedMode ? &offsets : nullptr);
    if (!folderBytes.empty()) {
      // frame is not used after this
      stack.push_back(Frame{std::move(folderBytes), std::move(offsets), 0, self, {}});
    }
  }
}

void Fat64Class::linkChildren() {
  const std::size_t n = entries.size();
  std::vector<ExFatEntry *> tail(n, nullptr);
  for (ExFatEntry &e : entries) {
    e.firstChild = nullptr;
    e.nextSibling = nullptr;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t p = entries[i].parentIndex;
    if (p >= n || p == i) {
      continue; // nobody's child, or its own parent
    }
    if (tail[p] == nullptr) {
      entries[p].firstChild = &entries[i];
    } else {
      tail[p]->nextSibling = &entries[i];
    }
    tail[p] = &entries[i];
  }
}

std::vector<const ExFatEntry *> Fat64Class::children(const ExFatEntry &folder) const {
  std::vector<const ExFatEntry *> out;
  for (const ExFatEntry *c = folder.firstChild; c != nullptr && out.size() < entries.size();
       c = c->nextSibling) {
    out.push_back(c);
  }
  return out;
}

bool Fat64Class::runStandardScan() {
  attachReader();
  if (!readBootSector()) {
    progress_.inform("Selected Drive is not in exFat Format");
    return false;
  }
  if (!loadRootDirectory()) {
    progress_.inform("error...");
    progress_.setStatus("Processing done...");
    return false;
  }
  progress_.setStatus("processing file and directory entries...");
  progress_.setStatus("Finding Fat64 File And Directory entries recursively....");
  entries = walkRootDirectory();
  linkChildren();
  progress_.setStatus("creating tree Structure...");
  progress_.inform("done...");
  progress_.setStatus("Processing done...");
  return true;
}

} // namespace quillon
