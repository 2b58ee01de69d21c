// FAT16/FAT32 shared code: slot parsing and names, texts, geometry, the cached allocation
// table and chain rule, the directory walk, linking and saving a file's data.
#include "fs/fat/fat_common.h"

#include "core/output_files.h"
#include "core/progress.h"
#include "core/text_convert.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <ctime>
#include <map>

namespace quillon::fat {

namespace {

// Directory slot fields.
constexpr std::size_t kAttributesOffset = 11;
constexpr std::size_t kCaseFlagsOffset = 12;
constexpr std::size_t kCreateTenthsOffset = 13;
constexpr std::size_t kCreateTimeOffset = 14;
constexpr std::size_t kCreateDateOffset = 16;
constexpr std::size_t kAccessDateOffset = 18;
constexpr std::size_t kClusterHighOffset = 20;
constexpr std::size_t kWriteTimeOffset = 22;
constexpr std::size_t kWriteDateOffset = 24;
constexpr std::size_t kClusterLowOffset = 26;
constexpr std::size_t kFileSizeOffset = 28;
constexpr std::size_t kLongNameChecksumOffset = 13;
constexpr std::uint8_t kLowerBase = 0x08;
constexpr std::uint8_t kLowerExtension = 0x10;

// Boot sector fields.
constexpr std::size_t kBytesPerSectorOffset = 11;
constexpr std::size_t kSectorsPerClusterOffset = 13;
constexpr std::size_t kReservedSectorsOffset = 14;
constexpr std::size_t kTableCountOffset = 16;
constexpr std::size_t kRootEntriesOffset = 17;
constexpr std::size_t kTotalSectors16Offset = 19;
constexpr std::size_t kTableSectors16Offset = 22;
constexpr std::size_t kTotalSectors32Offset = 32;
constexpr std::size_t kTableSectors32Offset = 36;
constexpr std::size_t kRootClusterOffset = 44;

constexpr std::uint32_t kMaxClusterBytes = 256 * 1024;
constexpr std::uint32_t kFat32MaxCluster = 0x0FFFFFF6;
constexpr std::size_t kMaxReadBytes = std::size_t{4} << 20;

std::uint8_t checksumWithFirst(Bytes slot, std::uint8_t first) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i) {
    const std::uint8_t b = i == 0 ? first : u8(slot, i);
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + b);
  }
  return sum;
}

std::tm dosFields(std::uint16_t date, std::uint16_t time) {
  std::tm t{};
  t.tm_mday = date & 0x1F;
  t.tm_mon = ((date >> 5) & 0x0F) - 1;
  t.tm_year = (date >> 9) + 80;
  t.tm_hour = time >> 11;
  t.tm_min = (time >> 5) & 0x3F;
  t.tm_sec = (time & 0x1F) * 2;
  return t;
}

std::optional<FileTime> fileTime(std::optional<std::int64_t> unix) {
  if (!unix) {
    return std::nullopt;
  }
  return FileTime{*unix, 0};
}

} // namespace

bool isDirectoryClass(std::uint8_t attributes) {
  return (attributes >= 0x10 && attributes <= 0x16) || attributes == 0x30;
}

FatEntry entryFromSlot(Bytes slot) {
  FatEntry e;
  e.attributes = u8(slot, kAttributesOffset);
  e.createTimeTenths = u8(slot, kCreateTenthsOffset);
  e.createTime = le16(slot, kCreateTimeOffset);
  e.createDate = le16(slot, kCreateDateOffset);
  e.accessDate = le16(slot, kAccessDateOffset);
  e.firstClusterHigh = le16(slot, kClusterHighOffset);
  e.writeTime = le16(slot, kWriteTimeOffset);
  e.writeDate = le16(slot, kWriteDateOffset);
  e.firstClusterLow = le16(slot, kClusterLowOffset);
  e.fileSize = le32(slot, kFileSizeOffset);
  return e;
}

std::string shortName(Bytes slot) {
  std::string base;
  std::string extension;
  const std::uint8_t flags = u8(slot, kCaseFlagsOffset);
  for (std::size_t i = 0; i < 11; ++i) {
    auto c = static_cast<char>(u8(slot, i));
    if (i == 0 && u8(slot, 0) == kDeletedMark) {
      c = '_';
    } else if (i == 0 && u8(slot, 0) == 0x05) {
      c = static_cast<char>(0xE5);
    }
    const bool lower = (i < 8 ? (flags & kLowerBase) : (flags & kLowerExtension)) != 0;
    if (lower && c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    (i < 8 ? base : extension).push_back(c);
  }
  while (!base.empty() && base.back() == ' ') {
    base.pop_back();
  }
  while (!extension.empty() && extension.back() == ' ') {
    extension.pop_back();
  }
  if (!extension.empty()) {
    base += '.';
    base += extension;
  }
  return windows1252ToUtf8(base);
}

std::uint8_t shortNameChecksum(Bytes slot) { return checksumWithFirst(slot, u8(slot, 0)); }

bool LongName::belongsTo(Bytes shortSlot) const {
  if (u8(shortSlot, 0) != kDeletedMark) {
    return shortNameChecksum(shortSlot) == checksum;
  }
  for (unsigned first = 0; first < 256; ++first) {
    if (checksumWithFirst(shortSlot, static_cast<std::uint8_t>(first)) == checksum) {
      return true;
    }
  }
  return false;
}

std::pair<LongName, std::size_t> gatherLongName(Bytes dir, std::size_t offset) {
  static constexpr std::array<std::pair<std::size_t, std::size_t>, 3> kPieces{
      {{1, 5}, {14, 6}, {28, 2}}};
  LongName name;
  name.deleted = u8(dir, offset) == kDeletedMark;
  name.checksum = u8(dir, offset + kLongNameChecksumOffset);
  std::vector<std::u16string> pieces;
  while (pieces.size() < kMaxLongNameSlots && offset + kSlotSize <= dir.size()) {
    const Bytes slot = dir.subspan(offset, kSlotSize);
    if (u8(slot, kAttributesOffset) != kLongNameAttributes ||
        u8(slot, kLongNameChecksumOffset) != name.checksum) {
      break;
    }
    std::u16string piece;
    bool ended = false;
    for (const auto &[start, count] : kPieces) {
      for (std::size_t k = 0; k < count && !ended; ++k) {
        const auto unit = static_cast<char16_t>(le16(slot, start + 2 * k));
        if (unit == 0) {
          ended = true;
        } else {
          piece.push_back(unit);
        }
      }
    }
    pieces.push_back(std::move(piece));
    offset += kSlotSize;
  }
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    name.units += *it;
  }
  return {std::move(name), offset};
}

std::optional<std::int64_t> dosToUnix(std::uint16_t date, std::uint16_t time) {
  std::tm t = dosFields(date, time);
  if (date == 0 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_hour > 23 ||
      t.tm_min > 59 || t.tm_sec > 59) {
    return std::nullopt;
  }
  t.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&t);
  if (seconds == static_cast<std::time_t>(-1)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(seconds);
}

std::array<std::string, 4> entryTexts(const FatEntry &entry) {
  std::array<std::string, 4> texts;
  texts[0] = dateTimeText(dosFields(entry.createDate, entry.createTime));
  const std::tm access = dosFields(entry.accessDate, 0);
  texts[1] = dateOnlyText(access.tm_mon + 1, access.tm_mday, access.tm_year + 1900);
  texts[2] = dateTimeText(dosFields(entry.writeDate, entry.writeTime));
  static constexpr std::array<std::pair<std::uint8_t, const char *>, 4> kBits{
      {{0x01, "-R"}, {0x02, "-H"}, {0x04, "-S"}, {0x20, "-A"}}};
  for (const auto &[bit, text] : kBits) {
    if ((entry.attributes & bit) != 0) {
      texts[3] += text;
    }
  }
  return texts;
}

std::string sizeText(const FatEntry &entry) { return quillon::sizeText(entry.fileSize); }

void linkChildren(std::vector<FatEntry> &entries, Progress &progress) {
  const std::size_t n = entries.size();
  progress.setRange(0, 1000);
  std::vector<FatEntry *> last(n, nullptr);
  for (auto &e : entries) {
    e.firstChild = nullptr;
    e.nextSibling = nullptr;
  }
  std::uint64_t shown = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t position = static_cast<std::uint64_t>(i) * 1000 / n;
    if (position != shown) {
      progress.setPosition(position);
      shown = position;
    }
    const std::size_t p = entries[i].parentIndex;
    if (p >= i) { // also record 0, its own parent
      continue;
    }
    if (last[p] == nullptr) {
      entries[p].firstChild = &entries[i];
    } else {
      last[p]->nextSibling = &entries[i];
    }
    last[p] = &entries[i];
  }
  progress.setPosition(1000);
}

bool plausibleBootSector(Bytes sector) {
  const std::uint32_t bps = le16(sector, kBytesPerSectorOffset);
  const std::uint32_t spc = u8(sector, kSectorsPerClusterOffset);
  const bool bpsOk = bps == 512 || bps == 1024 || bps == 2048 || bps == 4096;
  const bool spcOk = spc != 0 && (spc & (spc - 1)) == 0;
  return bpsOk && spcOk && bps * spc <= kMaxClusterBytes &&
         le16(sector, kReservedSectorsOffset) != 0 && u8(sector, kTableCountOffset) != 0;
}

std::optional<Geometry> geometryFrom(Bytes sector, bool fat32, std::uint64_t volumeBytes) {
  if (!plausibleBootSector(sector)) {
    return std::nullopt;
  }
  Geometry g;
  g.bytesPerSector = le16(sector, kBytesPerSectorOffset);
  g.clusterSize = g.bytesPerSector * u8(sector, kSectorsPerClusterOffset);
  g.entryBytes = fat32 ? 4 : 2;
  const std::uint64_t tableSectors =
      fat32 ? le32(sector, kTableSectors32Offset) : le16(sector, kTableSectors16Offset);
  if (tableSectors == 0) {
    return std::nullopt;
  }
  g.tableOffset = std::uint64_t{le16(sector, kReservedSectorsOffset)} * g.bytesPerSector;
  g.tableSize = tableSectors * g.bytesPerSector;
  const std::uint64_t tablesEnd = g.tableOffset + u8(sector, kTableCountOffset) * g.tableSize;
  if (fat32) {
    g.dataStart = tablesEnd;
  } else {
    // The fixed root directory fills whole sectors.
    g.rootOffset = tablesEnd;
    const std::uint64_t rootBytes = std::uint64_t{le16(sector, kRootEntriesOffset)} * kSlotSize;
    g.rootSize = (rootBytes + g.bytesPerSector - 1) / g.bytesPerSector * g.bytesPerSector;
    g.dataStart = g.rootOffset + g.rootSize;
  }
  std::uint64_t totalSectors = le16(sector, kTotalSectors16Offset);
  if (totalSectors == 0) {
    totalSectors = le32(sector, kTotalSectors32Offset);
  }
  const std::uint64_t totalBytes =
      totalSectors != 0 ? totalSectors * g.bytesPerSector : volumeBytes;
  if (totalBytes <= g.dataStart) {
    return std::nullopt;
  }
  std::uint64_t last = (totalBytes - g.dataStart) / g.clusterSize + 1;
  last = std::min<std::uint64_t>(last, g.tableSize / g.entryBytes - 1);
  last = std::min<std::uint64_t>(last, fat32 ? kFat32MaxCluster : 0xFFF6);
  if (last < 2) {
    return std::nullopt;
  }
  g.maxCluster = static_cast<std::uint32_t>(last);
  if (fat32) {
    g.rootCluster = le32(sector, kRootClusterOffset) & 0x0FFFFFFF;
    if (!g.validCluster(g.rootCluster)) {
      g.rootCluster = 2; // a damaged field: the root usually starts the data area
    }
  }
  return g;
}

FatVolume::FatVolume(readWriteInterface &reader, Progress &progress, WorkerControl &control,
                     VolumeRecord volume)
    : volumeSize(volumeSizeMiB(volume.volumeSizeText) * 1048576ULL), reader_(reader),
      progress_(progress), control_(control), volume_(std::move(volume)) {
  reader_.baseOffset = volume_.startSector * kSectorSize;
  (void)reader_.seek(0);
}

std::uint32_t FatVolume::tableValue(std::uint32_t c) {
  const std::uint64_t at = std::uint64_t{c} * geometry.entryBytes;
  if (c > geometry.maxCluster || at + geometry.entryBytes > geometry.tableSize) {
    return 0;
  }
  const std::uint64_t blockIndex = at / kTableBlock;
  auto found = tableBlocks_.find(blockIndex);
  if (found == tableBlocks_.end()) {
    if (tableBlocks_.size() >= kMaxTableBlocks) {
      tableBlocks_.clear();
    }
    const std::uint64_t start = blockIndex * kTableBlock;
    std::vector<std::uint8_t> block(std::min(kTableBlock, geometry.tableSize - start));
    (void)reader_.readAt(geometry.tableOffset + start, block); // a failed read leaves zeros
    found = tableBlocks_.emplace(blockIndex, std::move(block)).first;
  }
  const Bytes block = found->second;
  const std::size_t inBlock = at % kTableBlock;
  if (geometry.entryBytes == 2) {
    return le16(block, inBlock);
  }
  return le32(block, inBlock) & 0x0FFFFFFF;
}

std::optional<std::uint32_t> FatVolume::nextCluster(std::uint32_t c) {
  if (driveFormatted || !geometry.validCluster(c)) {
    return std::nullopt;
  }
  const std::uint32_t v = tableValue(c);
  // Bad-cluster and end marks (0xFFF7..0xFFFF, 0x0FFFFFF7..0x0FFFFFFF) lie beyond maxCluster,
  // as do free (0) and reserved (1) values below 2.
  if (!geometry.validCluster(v)) {
    return std::nullopt;
  }
  return v;
}

std::vector<std::uint32_t> FatVolume::chain(std::uint32_t first, std::size_t maxClusters) {
  std::vector<std::uint32_t> clusters;
  std::set<std::uint32_t> seen;
  std::optional<std::uint32_t> c = first;
  while (c && clusters.size() < maxClusters && geometry.validCluster(*c) &&
         seen.insert(*c).second) {
    clusters.push_back(*c);
    c = nextCluster(*c);
  }
  return clusters;
}

void FatVolume::linkChildren() { fat::linkChildren(entries, progress_); }

FolderBytes FatVolume::readFolder(std::uint32_t first, std::size_t maxClusters) {
  FolderBytes folder;
  std::optional<std::uint32_t> c = first;
  while (c && folder.clusterOffsets.size() < maxClusters && geometry.validCluster(*c) &&
         folder.data.size() < kMaxDirectoryBytes && geometry.clusterOffset(*c) < volumeLimit() &&
         visitedDirClusters_.insert(*c).second) {
    const std::size_t at = folder.data.size();
    folder.data.resize(at + geometry.clusterSize);
    folder.clusterOffsets.push_back(geometry.clusterOffset(*c));
    (void)reader_.readAt(geometry.clusterOffset(*c),
                         std::span(folder.data.data() + at, geometry.clusterSize));
    c = nextCluster(*c);
  }
  return folder;
}

std::optional<std::array<std::uint8_t, 512>> FatVolume::readBootSectorAs(bool fat32) {
  std::array<std::uint8_t, 512> sector{};
  (void)reader_.readAt(0, sector);
  if ((le16(sector, kTableSectors16Offset) == 0) != fat32) {
    return std::nullopt;
  }
  const auto g = geometryFrom(sector, fat32, volumeSize);
  if (!g) {
    return std::nullopt;
  }
  geometry = *g;
  bootGeometry = *g;
  return sector;
}

FolderBytes FatVolume::readContiguous(std::uint64_t offset, std::uint64_t bytes) {
  FolderBytes folder;
  folder.data.resize(bytes);
  (void)reader_.readAt(offset, folder.data);
  for (std::uint64_t at = 0; at < bytes; at += geometry.clusterSize) {
    folder.clusterOffsets.push_back(offset + at);
  }
  return folder;
}

std::uint64_t FatVolume::volumeLimit() const {
  // The boot sector's geometry already keeps clusters inside the volume; the advanced geometry
  // is only a guess, bounded by the volume's size.
  return advancedMode && volumeSize != 0 ? volumeSize : ~std::uint64_t{0};
}

void FatVolume::walkTree(FolderBytes root) {
  entries.clear();
  FatEntry dummy =
      root.data.size() >= kSlotSize ? entryFromSlot(Bytes(root.data).first(kSlotSize)) : FatEntry{};
  dummy.name = "DUMMY ENTRY";
  entries.push_back(std::move(dummy));
  walkFolders(0, std::move(root), false);
}

void FatVolume::walkFolders(std::uint32_t folderIndex, FolderBytes start, bool checkDot) {
  struct Frame {
    std::uint32_t folderIndex = 0;
    FolderBytes folder;
    std::size_t offset = 0;
    bool checkDot = false; // the first slot must be "."
    std::optional<LongName> pending;
    // Folder records of this folder by first cluster, for the same-cluster merge.
    std::map<std::uint32_t, std::uint32_t> folders;
  };
  const std::uint64_t unit = std::max<std::uint64_t>(geometry.clusterSize, kSlotSize);
  std::vector<Frame> stack;
  stack.push_back(Frame{folderIndex, std::move(start), 0, checkDot, std::nullopt, {}});
  while (!stack.empty() && !control_.stopRequested()) {
    Frame &f = stack.back();
    if (f.offset + kSlotSize > f.folder.data.size()) {
      stack.pop_back();
      continue;
    }
    const Bytes slot = Bytes(f.folder.data).subspan(f.offset, kSlotSize);
    const std::uint8_t first = slot[0];
    const std::uint8_t attributes = slot[kAttributesOffset];
    const std::size_t cluster = f.offset / unit;
    auto skipCluster = [&] { f.offset = (cluster + 1) * unit; };
    if (f.checkDot) {
      f.checkDot = false;
      if (first != '.') { // not a folder's first cluster: its contents are not trusted
        stack.pop_back();
        continue;
      }
    }
    if (first == 0x00) {
      f.pending.reset();
      f.offset += kSlotSize;
      if (freeSlotEndsCluster) {
        skipCluster();
      }
      continue;
    }
    if (claims_ != nullptr) {
      // A filler pattern ends the cluster; a slot already taken into the table (found as an
      // orphan before this folder was walked) is not taken twice.
      if (attributes == kFillerAttributes) {
        f.pending.reset();
        skipCluster();
        continue;
      }
      const std::uint64_t position = cluster < f.folder.clusterOffsets.size()
                                         ? f.folder.clusterOffsets[cluster] + f.offset % unit
                                         : ~std::uint64_t{0};
      if (!claims_->insert(position).second) {
        f.pending.reset();
        f.offset += kSlotSize;
        continue;
      }
    }
    if (attributes == kLongNameAttributes) {
      auto [name, next] = gatherLongName(f.folder.data, f.offset);
      if (claims_ != nullptr) {
        for (std::size_t at = f.offset + kSlotSize; at < next; at += kSlotSize) {
          const std::size_t k = at / unit;
          if (k < f.folder.clusterOffsets.size()) {
            claims_->insert(f.folder.clusterOffsets[k] + at % unit);
          }
        }
      }
      f.pending = std::move(name);
      f.offset = next;
      continue;
    }
    f.offset += kSlotSize;
    if (first == '.' || isVolumeLabel(attributes)) {
      f.pending.reset();
      continue;
    }
    FatEntry entry = entryFromSlot(slot);
    nameEntry(entry, slot, f.pending);
    f.pending.reset();
    entry.parentIndex = f.folderIndex;
    entry.selfIndex = static_cast<std::uint32_t>(entries.size());
    const std::uint32_t firstCluster = entry.firstCluster();
    const bool folder = isDirectoryClass(attributes);
    if (folder && firstCluster != 0) {
      const auto known = f.folders.find(firstCluster);
      if (known != f.folders.end()) {
        mergeFolder(entries[known->second], std::move(entry));
        continue;
      }
      f.folders.emplace(firstCluster, entry.selfIndex);
    }
    const bool deleted = entry.deleted != 0;
    entries.push_back(std::move(entry));
    if (folder && stack.size() < kMaxFolderDepth && geometry.validCluster(firstCluster)) {
      // A deleted folder's chain was freed (or belongs to something else now): only its
      // first cluster is its own.
      FolderBytes contents = readFolder(firstCluster, deleted ? 1 : kMaxDirectoryBytes / kSlotSize);
      if (!contents.data.empty()) {
        const auto index = static_cast<std::uint32_t>(entries.size() - 1);
        stack.push_back(Frame{index, std::move(contents), 0, true, std::nullopt, {}});
      }
    }
  }
}

void nameEntry(FatEntry &entry, Bytes slot, const std::optional<LongName> &longName) {
  const bool shortDeleted = u8(slot, 0) == kDeletedMark;
  if (longName && longName->belongsTo(slot)) {
    entry.name = utf16ToUtf8(longName->units);
    entry.deleted = (longName->deleted || shortDeleted) ? 1 : 0;
  } else {
    entry.name = shortName(slot);
    entry.deleted = shortDeleted ? 1 : 0;
  }
}

void mergeFolder(FatEntry &earlier, FatEntry later) {
  // A renamed or re-created folder can leave a deleted slot behind that names the same
  // cluster: the live slot wins; between slots of the same state the later one is taken.
  if (earlier.deleted != 0 && later.deleted == 0) {
    later.parentIndex = earlier.parentIndex;
    later.selfIndex = earlier.selfIndex;
    earlier = std::move(later);
  } else if (earlier.deleted == later.deleted) {
    earlier.name = std::move(later.name);
  }
}

std::optional<std::filesystem::path> FatVolume::saveEntryFile(const FatEntry &entry,
                                                              const std::filesystem::path &folder,
                                                              std::string *error,
                                                              std::string_view asName) {
  OutputFile out;
  if (!out.open(folder, asName.empty() ? std::string_view(entry.name) : asName)) {
    return saveFailed(error, out.error());
  }
  const std::uint64_t cs = geometry.clusterSize;
  std::uint64_t remaining = entry.fileSize;
  const std::uint64_t needed = cs == 0 ? 0 : (remaining + cs - 1) / cs;
  std::vector<std::uint32_t> clusters;
  const std::uint32_t first = entry.firstCluster();
  if (needed != 0 && geometry.validCluster(first)) {
    if (entry.deleted != 0 || driveFormatted) {
      const std::uint64_t last = std::min<std::uint64_t>(first + needed - 1, geometry.maxCluster);
      for (std::uint64_t c = first; c <= last; ++c) {
        clusters.push_back(static_cast<std::uint32_t>(c));
      }
    } else {
      clusters = chain(first, static_cast<std::size_t>(needed));
    }
  }
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < clusters.size() && remaining != 0;) {
    if (control_.stopRequested()) {
      break;
    }
    // Consecutive clusters are read in one piece.
    std::size_t run = 1;
    while (i + run < clusters.size() && clusters[i + run] == clusters[i] + run &&
           (run + 1) * cs <= kMaxReadBytes) {
      ++run;
    }
    const std::uint64_t bytes = std::min<std::uint64_t>(run * cs, remaining);
    buffer.resize(bytes);
    (void)reader_.readAt(geometry.clusterOffset(clusters[i]), buffer);
    if (!out.write(buffer)) {
      return saveFailed(error, out.error());
    }
    remaining -= bytes;
    i += run;
  }
  out.setTimes(fileTime(dosToUnix(entry.accessDate, 0)),
               fileTime(dosToUnix(entry.writeDate, entry.writeTime)));
  if (!out.close()) {
    return saveFailed(error, out.error());
  }
  return out.path();
}

} // namespace quillon::fat
