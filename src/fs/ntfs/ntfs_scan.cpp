// NTFS record scans over the whole volume: deep mode keeps every named record it finds, the
// candidate search looks for the start of an MFT ($MFT followed seven records later by $Boot),
// and a chosen candidate gives the MFT's runs.
#include "fs/ntfs/ntfs.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <new>

namespace quillon {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kScanChunk = 10 * kMiB;
constexpr std::size_t kRecordTestLimit = 512;
constexpr std::size_t kCandidateDistance = 7; // $Boot is record 7, $MFT record 0

// The header checks a 512-byte block must pass to be taken for a record.
bool passesRecordTest(Bytes block) {
  return ntfs_record::hasFileSignature(block) &&
         le16(block, ntfs_record::kUsaOffsetOffset) < kRecordTestLimit &&
         le16(block, ntfs_record::kUsaCountOffset) < kRecordTestLimit &&
         le16(block, ntfs_record::kFirstAttributeOffset) < kRecordTestLimit;
}

bool allocate(std::vector<std::uint8_t> &buffer, std::uint64_t size) {
  try {
    buffer.assign(static_cast<std::size_t>(std::max<std::uint64_t>(size, 1)), 0);
    return true;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

} // namespace

bool ntfs::scanForMftRecords() {
  clusterSize = bootClusterSize();
  recordSize = bootRecordSize(clusterSize);
  runsKnown = false;
  entries.clear();
  childTail_.clear();
  entriesParsed_ = true;
  // Table index 0 ends chains, so it is held by an empty entry: every record found can then be
  // linked into a folder.
  entries.emplace_back();

  const std::uint64_t limit = readableBytes();
  const std::uint64_t chunks = volumeSize / kScanChunk;
  progress_.setRange(0, chunks);
  std::vector<std::uint8_t> buffer;
  if (!allocate(buffer, std::min(kScanChunk, limit))) {
    return false;
  }
  std::vector<std::uint8_t> record;
  std::uint64_t position = 0;
  for (std::uint64_t chunk = 0; position < limit; ++chunk) {
    progress_.setPosition(chunk);
    if (!control_.checkpoint()) {
      break;
    }
    const std::uint64_t length = std::min<std::uint64_t>(buffer.size(), limit - position);
    (void)reader_.readAt(position, std::span(buffer.data(), length));
    std::uint64_t offset = 0;
    while (offset < length && !control_.stopRequested()) {
      const Bytes block = std::span(buffer).subspan(offset, length - offset);
      if (!passesRecordTest(block)) {
        offset += kSectorSize;
        continue;
      }
      recordFromChunk(buffer, length, position, offset, record);
      NtfsEntry entry;
      entry.recordOffset = position + offset;
      entry.ownIndex = static_cast<std::int64_t>(entries.size());
      parseInto(record, entry);
      if (entry.hasName && resolveExtension(entry, record, position + offset)) {
        entry.orphan = 1;
        entries.push_back(std::move(entry));
        if (entries.size() % 1024 == 2) {
          progress_.setStatus(
              format("MFT ENTRY %d Found.Parsing it ..", static_cast<int>(entries.size())));
        }
      }
      offset += record.size();
    }
    position += offset;
  }
  extensionRecords_.clear(); // table indexes are not record numbers here
  progress_.setPosition(chunks);
  return false;
}

bool ntfs::resolveExtension(NtfsEntry &entry, Bytes record, std::uint64_t extensionOffset) {
  const std::uint64_t base =
      le64(record, ntfs_record::kBaseRecordOffset) & ntfs_record::kReferenceMask;
  // Only NTFS 3.1 headers carry the record's own number, which places the base.
  if (base == 0 ||
      le16(record, ntfs_record::kUsaOffsetOffset) < ntfs_record::kRecordNumberOffset + 4) {
    return true;
  }
  const std::uint64_t number = le32(record, ntfs_record::kRecordNumberOffset);
  const std::uint64_t size = record.size();
  const std::uint64_t distance = (number > base ? number - base : base - number);
  if (distance > readableBytes() / size || (number > base && distance * size > extensionOffset)) {
    return true;
  }
  const std::uint64_t baseOffset =
      number > base ? extensionOffset - distance * size : extensionOffset + distance * size;
  if (baseOffset > extensionOffset && baseOffset >= readableBytes()) {
    return true;
  }
  std::vector<std::uint8_t> bytes(size);
  (void)reader_.readAt(baseOffset, bytes);
  if (!ntfs_record::hasFileSignature(bytes) ||
      le32(bytes, ntfs_record::kRecordNumberOffset) != base ||
      (le64(bytes, ntfs_record::kBaseRecordOffset) & ntfs_record::kReferenceMask) != 0) {
    return true; // not the base: keep the extension as it is
  }
  NtfsEntry owner;
  owner.recordOffset = baseOffset;
  owner.ownIndex = entry.ownIndex;
  parseInto(bytes, owner);
  if (!owner.hasAttributeList) {
    return true;
  }
  if (owner.hasName) {
    return false; // the base record is found and listed by itself
  }
  owner.name = std::move(entry.name);
  owner.hasName = true;
  owner.nameSpace = entry.nameSpace;
  owner.parent = entry.parent;
  owner.size = entry.size;
  owner.fileAttributes = entry.fileAttributes;
  if (entry.isFolder()) {
    owner.kind = 'D';
  }
  if (!owner.hasData && entry.hasData) {
    owner.dataSize = entry.dataSize;
    owner.hasData = true;
  }
  entry = std::move(owner);
  return true;
}

std::int64_t ntfs::findMftCandidates(std::int64_t maximum) {
  clusterSize = bootClusterSize();
  runsKnown = false;
  bool found = false;
  // The volume list's size, even when the boot sector gives one: the boot sector may belong to
  // a newer file system than the MFT looked for.
  const std::uint64_t scanSize =
      std::min(volumeSizeMiB(volume_.volumeSizeText), ~std::uint64_t{0} / kMiB) * kMiB;
  const std::uint64_t chunks = scanSize / kScanChunk;
  const std::uint64_t disk = reader_.sectorCount() * kSectorSize;
  const std::uint64_t limit =
      std::min(scanSize, disk > reader_.baseOffset ? disk - reader_.baseOffset : 0);
  std::vector<std::uint8_t> buffer;
  if (limit > ntfs_record::kRecordSize) {
    progress_.setRange(0, chunks);
  }
  if (limit > ntfs_record::kRecordSize && allocate(buffer, std::min(kScanChunk, limit))) {
    // Only the last eight records found matter: the $MFT is seven before the $Boot record.
    std::vector<NtfsEntry> recent(kCandidateDistance + 1);
    std::uint64_t hits = 0;
    std::vector<std::uint8_t> record;
    std::uint64_t position = 0;
    auto reachedMaximum = [&] {
      return found && (maximum < 0 || static_cast<std::int64_t>(candidates.size()) >= maximum);
    };
    for (std::uint64_t chunk = 0; position < limit - ntfs_record::kRecordSize; ++chunk) {
      if (reachedMaximum()) {
        break;
      }
      if (!control_.checkpoint()) {
        control_.clearStop(); // the advanced page goes on with what was found
        break;
      }
      progress_.setPosition(chunk);
      const std::uint64_t length = std::min<std::uint64_t>(buffer.size(), limit - position);
      (void)reader_.readAt(position, std::span(buffer.data(), length));
      std::uint64_t offset = 0;
      while (offset < length && !reachedMaximum()) {
        const Bytes block = std::span(buffer).subspan(offset, length - offset);
        if (!passesRecordTest(block)) {
          offset += kSectorSize;
          continue;
        }
        recordFromChunk(buffer, length, position, offset, record);
        NtfsEntry &entry = recent[hits % recent.size()];
        entry = NtfsEntry{};
        entry.recordOffset = position + offset;
        entry.ownIndex = static_cast<std::int64_t>(hits);
        parseInto(record, entry);
        ++hits;
        if (hits > kCandidateDistance && entry.name.starts_with("$Boot")) {
          const NtfsEntry &first = recent[hits % recent.size()]; // seven places before
          if (first.name.starts_with("$MFT") && (first.name.size() == 4 || first.name[4] != 'M')) {
            candidates.push_back(first);
            found = true;
            progress_.setStatus(
                format("MFT ENTRY %d Found.Parsing it ...", static_cast<int>(hits)));
          }
        }
        offset += record.size();
      }
      position += offset;
    }
  }
  extensionRecords_.clear(); // the records parsed here are not kept
  progress_.setPosition(chunks);
  return static_cast<std::int64_t>(candidates.size());
}

bool ntfs::selectMftCandidate(std::int64_t index) {
  runsKnown = false;
  mftRuns.clear();
  if (index < 0 || static_cast<std::uint64_t>(index) >= candidates.size()) {
    return false;
  }
  const std::uint64_t offset = candidates[static_cast<std::size_t>(index)].recordOffset;
  // The candidate's own header says how large its records are.
  std::vector<std::uint8_t> header(ntfs_record::kRecordSize);
  (void)reader_.readAt(offset, header);
  recordSize = headerRecordSize(header);
  std::vector<std::uint8_t> record;
  if (readRecord(offset, record)) {
    // The candidate may come from an earlier file system with other clusters than the boot
    // sector's; where it lies tells its own.
    if (const std::optional<std::uint64_t> cs = clusterSizeFromMft(offset, record)) {
      clusterSize = *cs;
    }
    mftRuns = runsFromRecord(record, ntfs_record::kData);
  }
  if (mftRuns.empty()) {
    return false;
  }
  runsKnown = true;
  runsPending = false;
  return true;
}

} // namespace quillon
