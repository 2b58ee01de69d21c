// NTFS boot sector and MFT location: the sizes the boot sector gives, the $MFT's run list
// (through the boot sector, its mirror, or by scanning for the $MFT record when the boot sector
// is damaged), and one pass over the MFT that reads it run by run in large pieces and parses
// every record once, straight into the entry table.
#include "fs/ntfs/ntfs.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

namespace quillon {
namespace {

// Boot sector fields.
constexpr std::size_t kOemOffset = 3;
constexpr std::size_t kBytesPerSectorOffset = 11;
constexpr std::size_t kSectorsPerClusterOffset = 13;
constexpr std::size_t kTotalSectorsOffset = 40;
constexpr std::size_t kMftClusterOffset = 48;
constexpr std::size_t kMirrorClusterOffset = 56;
constexpr std::size_t kClustersPerRecordOffset = 64;

// Record header: bytes allocated for the record.
constexpr std::size_t kRecordAllocatedOffset = 28;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kScanChunk = 10 * kMiB;
constexpr std::uint64_t kReadChunk = 4 * kMiB;
constexpr std::uint64_t kDefaultClusterSize = 4096;
constexpr std::uint64_t kMaxClusterSize = 2 * kMiB;
constexpr std::uint64_t kProgressChunks = 100; // the corrupt-boot-sector scan reports this often

std::uint64_t saturatingMultiply(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return a * b;
}

bool saneBytesPerSector(std::uint64_t bps) {
  return bps >= 256 && bps <= 4096 && std::has_single_bit(bps);
}

// True for a record that is the $MFT's own: record number 0 where the header has room for it
// (NTFS 3.1 headers put the update-sequence array at 48 or later).
bool isRecordZero(Bytes record) {
  const std::size_t usa = le16(record, ntfs_record::kUsaOffsetOffset);
  return usa < ntfs_record::kRecordNumberOffset + 4 ||
         le32(record, ntfs_record::kRecordNumberOffset) == 0;
}

// A piece of the MFT along its runs: located clusters are read, absent ones (sparse, or past
// the volume) give empty records.
struct MftPiece {
  std::int64_t lcn = 0;
  std::uint64_t count = 0;
  bool absent = false;
  bool runStart = false;
  bool sparse = false;
};

} // namespace

ntfs::ntfs(readWriteInterface &reader, Progress &progress, WorkerControl &control,
           VolumeRecord volume)
    : reader_(reader), progress_(progress), control_(control), volume_(std::move(volume)) {}

bool ntfs::bootSectorValid() const {
  return bootSector && hasBytes(*bootSector, kOemOffset, "NTFS");
}

std::uint64_t ntfs::bootClusterSize() const {
  if (!bootSectorValid()) {
    return kDefaultClusterSize;
  }
  const std::uint64_t bps = le16(*bootSector, kBytesPerSectorOffset);
  const std::uint64_t spc = u8(*bootSector, kSectorsPerClusterOffset);
  if (!saneBytesPerSector(bps)) {
    return kDefaultClusterSize;
  }
  std::uint64_t sectors = 0;
  if (spc >= 1 && spc <= 128 && std::has_single_bit(spc)) {
    sectors = spc;
  } else if (spc > 128 && 256 - spc < 32) {
    // Large clusters store the negated power of two.
    sectors = std::uint64_t{1} << (256 - spc);
  }
  const std::uint64_t size = bps * sectors;
  return sectors != 0 && size <= kMaxClusterSize ? size : kDefaultClusterSize;
}

std::uint64_t ntfs::bootRecordSize(std::uint64_t cluster) const {
  if (!bootSectorValid()) {
    return ntfs_record::kRecordSize;
  }
  const auto raw = static_cast<std::int8_t>(u8(*bootSector, kClustersPerRecordOffset));
  std::uint64_t size = 0;
  if (raw > 0) {
    size = static_cast<std::uint64_t>(raw) * cluster;
  } else if (raw < 0 && -raw < 32) {
    size = std::uint64_t{1} << -raw;
  }
  return size == 1024 || size == 4096 ? size : ntfs_record::kRecordSize;
}

void ntfs::recordFromChunk(Bytes chunk, std::uint64_t length, std::uint64_t chunkPosition,
                           std::uint64_t offset, std::vector<std::uint8_t> &record) {
  const Bytes block = chunk.subspan(offset, length - offset);
  const std::uint64_t size = headerRecordSize(block);
  record.assign(size, 0);
  if (offset + size <= length) {
    std::copy_n(block.begin(), size, record.begin());
  } else {
    (void)reader_.readAt(chunkPosition + offset, record);
  }
}

std::uint64_t ntfs::headerRecordSize(Bytes record) const {
  const std::uint64_t size = le32(record, kRecordAllocatedOffset);
  return size == 1024 || size == 4096 ? size : recordSize;
}

std::uint64_t ntfs::readableBytes() const {
  const std::uint64_t disk = reader_.sectorCount() * kSectorSize;
  const std::uint64_t available = disk > reader_.baseOffset ? disk - reader_.baseOffset : 0;
  return std::min(volumeSize, available);
}

bool ntfs::readBootSector() {
  std::array<std::uint8_t, 512> sector{};
  (void)reader_.readAt(0, sector); // a failed read leaves zeros: no "NTFS", size from the record
  bootSector = sector;
  if (bootSectorValid()) {
    std::uint64_t bps = le16(sector, kBytesPerSectorOffset);
    if (!saneBytesPerSector(bps)) {
      bps = kSectorSize;
    }
    volumeSize = saturatingMultiply(le64(sector, kTotalSectorsOffset), bps);
  } else {
    volumeSize = saturatingMultiply(volumeSizeMiB(volume_.volumeSizeText), kMiB);
  }
  clusterSize = bootClusterSize();
  recordSize = bootRecordSize(clusterSize);
  return volumeSize != 0;
}

bool ntfs::readRecord(std::uint64_t recordOffset, std::vector<std::uint8_t> &out) {
  out.assign(recordSize, 0);
  if (!reader_.readAt(recordOffset, out) || !ntfs_record::hasFileSignature(out)) {
    return false;
  }
  (void)ntfs_record::applyFixup(out);
  return true;
}

std::vector<ntfs_record::Run> ntfs::runsFromRecord(Bytes record, std::uint32_t type) {
  for (const ntfs_record::Attribute &a : ntfs_record::attributes(record)) {
    if (a.type != type || !a.nonResident || a.named()) {
      continue;
    }
    const std::uint64_t vcns = ntfs_record::vcnClusters(a);
    std::vector<ntfs_record::Run> runs =
        ntfs_record::decodeRunList(record.subspan(a.runListOffset, a.runListLength), vcns);
    std::uint64_t total = 0;
    for (const ntfs_record::Run &r : runs) {
      total += r.count;
    }
    // A VCN range wider than its runs claims clusters that nothing describes.
    attributeClusterCount = std::min(vcns, total);
    return runs;
  }
  attributeClusterCount = 0;
  return {};
}

std::optional<std::uint64_t> ntfs::clusterSizeFromMft(std::uint64_t recordOffset,
                                                      Bytes record) const {
  auto sane = [](std::uint64_t cs) {
    return cs >= 512 && cs <= kMaxClusterSize && std::has_single_bit(cs);
  };
  for (const ntfs_record::Attribute &a : ntfs_record::attributes(record)) {
    if (a.type != ntfs_record::kData || !a.nonResident || a.named()) {
      continue;
    }
    // The $MFT's clusters are all allocated, so its allocated size over its VCN range is the
    // cluster size ...
    const std::uint64_t vcns = ntfs_record::vcnClusters(a);
    if (vcns != 0 && a.allocatedSize % vcns == 0 && sane(a.allocatedSize / vcns)) {
      return a.allocatedSize / vcns;
    }
    // ... and otherwise the size that puts its first cluster where the record was found.
    const std::vector<ntfs_record::Run> runs =
        ntfs_record::decodeRunList(record.subspan(a.runListOffset, a.runListLength), vcns);
    if (!runs.empty() && !runs[0].sparse && runs[0].lcn > 0) {
      const auto lcn = static_cast<std::uint64_t>(runs[0].lcn);
      if (recordOffset % lcn == 0 && sane(recordOffset / lcn)) {
        return recordOffset / lcn;
      }
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::vector<ntfs_record::Run> ntfs::getAttributeRuns(std::uint64_t recordOffset,
                                                     std::uint32_t type) {
  std::vector<std::uint8_t> record;
  if (!readRecord(recordOffset, record)) {
    attributeClusterCount = 0;
    return {};
  }
  std::vector<ntfs_record::Run> runs = runsFromRecord(record, type);
  // Located runs end at the volume's end; sparse runs have no place and keep their length.
  const std::uint64_t cs = clusterSize != 0 ? clusterSize : kDefaultClusterSize;
  const std::uint64_t volumeClusters = readableBytes() / cs;
  std::uint64_t kept = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    ntfs_record::Run &r = runs[i];
    if (!r.sparse) {
      const auto lcn = static_cast<std::uint64_t>(r.lcn);
      if (lcn >= volumeClusters) {
        runs.resize(i);
        break;
      }
      if (r.count > volumeClusters - lcn) {
        r.count = volumeClusters - lcn;
        kept += r.count;
        runs.resize(i + 1);
        break;
      }
    }
    kept += r.count;
  }
  attributeClusterCount = std::min(attributeClusterCount, kept);
  return runs;
}

bool ntfs::locateMftRuns() {
  if (bootSectorValid()) {
    runsKnown = true;
    clusterSize = bootClusterSize();
    recordSize = bootRecordSize(clusterSize);
    const std::uint64_t limitClusters = readableBytes() / clusterSize;
    const std::uint64_t mftCluster = le64(*bootSector, kMftClusterOffset);
    mftRuns.clear();
    if (mftCluster >= limitClusters) {
      return true; // the $MFT would lie outside the volume: nothing to read
    }
    progress_.setStatus("boot sector is fine.Getting run of mft entry...");
    mftRuns = getAttributeRuns(mftCluster * clusterSize, ntfs_record::kData);
    if (mftRuns.empty()) {
      // A damaged $MFT record: its first records are mirrored, so take the runs from the copy.
      const std::uint64_t mirror = le64(*bootSector, kMirrorClusterOffset);
      std::vector<std::uint8_t> copy(recordSize);
      NtfsEntry entry;
      if (mirror < limitClusters && reader_.readAt(mirror * clusterSize, copy)) {
        parseInto(copy, entry);
        if (entry.name == "$MFT" && isRecordZero(copy)) {
          mftRuns = runsFromRecord(copy, ntfs_record::kData);
        }
      }
    }
    progress_.setStatus("Got run...");
    runsPending = false;
    return true;
  }

  progress_.setStatus("boot sector corrupt.Scanning for first mft entry...");
  clusterSize = kDefaultClusterSize;
  runsKnown = false;
  const std::uint64_t limit = readableBytes();
  progress_.setRange(0, volumeSize / kScanChunk);
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(
        static_cast<std::size_t>(std::min(kScanChunk, std::max<std::uint64_t>(limit, 1))));
  } catch (const std::bad_alloc &) {
    return false;
  }

  // The mirror's "$MFTMirr" also begins with "$MF" but holds only four records: it is kept only
  // as a last resort when no "$MFT" record turns up.
  std::vector<ntfs_record::Run> mirrorRuns;
  std::uint64_t mirrorRecordSize = 0;
  std::vector<std::uint8_t> record;
  std::uint64_t position = 0;
  for (std::uint64_t chunk = 0; position < limit; ++chunk) {
    if (!control_.checkpoint()) {
      break;
    }
    if (chunk % kProgressChunks == 0) {
      progress_.setPosition(chunk);
    }
    const std::uint64_t length = std::min<std::uint64_t>(buffer.size(), limit - position);
    (void)reader_.readAt(position, std::span(buffer.data(), length));
    std::uint64_t offset = 0;
    while (offset < length) {
      const Bytes block = std::span(buffer).subspan(offset, length - offset);
      if (!ntfs_record::hasFileSignature(block)) {
        offset += kSectorSize;
        continue;
      }
      recordFromChunk(buffer, length, position, offset, record);
      NtfsEntry entry;
      parseInto(record, entry);
      if (entry.name.starts_with("$MF")) {
        if (entry.name == "$MFT" && isRecordZero(record)) {
          progress_.setStatus("found mft entry.getting its run ...");
          std::vector<ntfs_record::Run> runs = runsFromRecord(record, ntfs_record::kData);
          progress_.setStatus("got run ...");
          if (!runs.empty()) {
            clusterSize = clusterSizeFromMft(position + offset, record).value_or(clusterSize);
            recordSize = record.size();
            mftRuns = std::move(runs);
            runsKnown = true;
            runsPending = false;
            entries.clear();
            extensionRecords_.clear();
            return true;
          }
        } else if (mirrorRuns.empty()) {
          mirrorRuns = runsFromRecord(record, ntfs_record::kData);
          mirrorRecordSize = record.size();
        }
      }
      offset += record.size();
    }
    position += offset;
  }
  extensionRecords_.clear(); // the records parsed here are not kept
  if (!mirrorRuns.empty()) {
    progress_.setStatus("found mft entry.getting its run ...");
    progress_.setStatus("got run ...");
    recordSize = mirrorRecordSize;
    mftRuns = std::move(mirrorRuns);
    runsKnown = true;
    runsPending = false;
    entries.clear();
    return true;
  }
  return false;
}

void ntfs::setParseStatus(std::uint64_t index) {
  // Per-record texts would cost more than the parsing; every 1024th record is enough to show
  // that the scan moves.
  if (index % 1024 == 0) {
    progress_.setStatus(format("parsing MFT entry %d...", static_cast<int>(index)));
    progress_.setPosition(index);
  }
}

void ntfs::readMftRecords() {
  if (!runsKnown || control_.stopRequested()) {
    return;
  }
  if (clusterSize == 0) {
    clusterSize = kDefaultClusterSize;
  }
  if (runsPending && !entries.empty()) {
    progress_.setStatus("getting run of mft...");
    mftRuns = getAttributeRuns(entries.front().recordOffset, ntfs_record::kData);
    progress_.setStatus("got run...");
  }
  entries.clear();
  childTail_.clear();
  extensionRecords_.clear();
  entriesParsed_ = true;

  const std::uint64_t cs = clusterSize;
  const std::uint64_t rs = recordSize;
  // The MFT cannot be larger than the volume, and no cluster past the volume's end is read,
  // however many clusters the run list claims.
  const std::uint64_t volumeClusters = readableBytes() / cs;
  std::uint64_t budget = volumeClusters;
  std::vector<MftPiece> pieces;
  for (const ntfs_record::Run &run : mftRuns) {
    const std::uint64_t count = std::min(run.count, budget);
    if (count == 0) {
      break;
    }
    budget -= count;
    const auto lcn = static_cast<std::uint64_t>(run.lcn);
    if (run.sparse || lcn >= volumeClusters) {
      pieces.push_back({run.lcn, count, true, true, run.sparse});
    } else if (count > volumeClusters - lcn) {
      pieces.push_back({run.lcn, volumeClusters - lcn, false, true});
      pieces.push_back({run.lcn, count - (volumeClusters - lcn), true, false});
    } else {
      pieces.push_back({run.lcn, count, false, true});
    }
  }
  const std::uint64_t totalRecords = (volumeClusters - budget) * cs / rs;
  progress_.setRange(0, totalRecords);
  entries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(totalRecords, 1 << 20)));

  std::vector<std::uint8_t> chunk;
  try {
    chunk.resize(static_cast<std::size_t>(std::max(
        rs, std::min<std::uint64_t>(kReadChunk / rs * rs, (volumeClusters - budget) * cs))));
  } catch (const std::bad_alloc &) {
    return;
  }
  // Records known to be empty are appended only when a real record follows them, so a long
  // sparse tail costs nothing.
  std::uint64_t pendingEmpty = 0;
  auto flushEmpty = [&] {
    for (; pendingEmpty > 0; --pendingEmpty) {
      NtfsEntry &e = entries.emplace_back();
      e.ownIndex = static_cast<std::int64_t>(entries.size() - 1);
    }
  };
  auto emit = [&](std::span<std::uint8_t> bytes, std::uint64_t offset) {
    flushEmpty();
    setParseStatus(entries.size());
    NtfsEntry &e = entries.emplace_back();
    e.ownIndex = static_cast<std::int64_t>(entries.size() - 1);
    e.recordOffset = offset;
    parseInto(bytes, e);
  };
  // A record that spans two runs (clusters smaller than records) is put together here.
  std::vector<std::uint8_t> carry;
  std::uint64_t carryOffset = 0;
  bool stopped = false;
  for (const MftPiece &piece : pieces) {
    if (stopped || !control_.checkpoint()) {
      break;
    }
    if (piece.runStart) {
      progress_.setStatus(
          format("parsing %d cluster of MFT run.", static_cast<int>(piece.sparse ? 0 : piece.lcn)));
    }
    std::uint64_t bytes = piece.count * cs;
    if (piece.absent) {
      if (!carry.empty()) {
        const std::uint64_t take = std::min<std::uint64_t>(rs - carry.size(), bytes);
        carry.resize(carry.size() + take, 0);
        bytes -= take;
        if (carry.size() == rs) {
          emit(carry, carryOffset);
          carry.clear();
        }
      }
      pendingEmpty += bytes / rs;
      if (bytes % rs != 0) {
        carry.assign(bytes % rs, 0);
        carryOffset = 0;
      }
      continue;
    }
    std::uint64_t at = static_cast<std::uint64_t>(piece.lcn) * cs;
    while (bytes > 0) {
      const std::uint64_t n = std::min<std::uint64_t>(bytes, chunk.size());
      (void)reader_.readAt(at, std::span(chunk.data(), n));
      std::uint64_t off = 0;
      if (!carry.empty()) {
        const std::uint64_t take = std::min<std::uint64_t>(rs - carry.size(), n);
        carry.insert(carry.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(take));
        off = take;
        if (carry.size() == rs) {
          emit(carry, carryOffset);
          carry.clear();
        }
      }
      for (; off + rs <= n; off += rs) {
        emit(std::span(chunk.data() + off, rs), at + off);
      }
      if (off < n) {
        carry.assign(chunk.begin() + static_cast<std::ptrdiff_t>(off),
                     chunk.begin() + static_cast<std::ptrdiff_t>(n));
        carryOffset = at + off;
      }
      at += n;
      bytes -= n;
      if (bytes > 0 && !control_.checkpoint()) {
        stopped = true;
        break;
      }
    }
  }
  progress_.setPosition(entries.size());

  mergeExtensionRecords();
}

} // namespace quillon
