// NTFS file data: finds a record's unnamed $DATA (in the record itself or, through its
// $ATTRIBUTE_LIST, in extension records), lays its runs out by VCN and writes the file: resident
// bytes, plain clusters read in large pieces, sparse runs as holes and LZNT1-compressed units
// one at a time. Also the size of an entry's data as the list shows it.
#include "fs/ntfs/ntfs_data.h"

#include "core/output_files.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "fs/ntfs/lznt1.h"
#include "fs/ntfs/ntfs.h"

#include <algorithm>
#include <array>
#include <map>
#include <new>

namespace quillon {

namespace {

std::vector<std::uint8_t> copyOf(Bytes bytes, std::size_t offset, std::size_t length) {
  const Bytes part = bytes.subspan(offset, length);
  return {part.begin(), part.end()};
}

} // namespace

namespace {

using ntfs_data::DataAttributeInfo;
using ntfs_record::Attribute;

constexpr std::size_t kMaxReadBytes = std::size_t{4} << 20; // one read of plain data
constexpr std::uint64_t kMaxAttributeList = 16ULL << 20;    // a list beyond this is damage
constexpr std::size_t kMaxExtensionRecords = 65536;
constexpr std::uint16_t kMaxCompressionUnit = 15;    // 1 << 16 clusters does not fit
constexpr std::uint64_t kMaxUnitBytes = 16ULL << 20; // unit buffers, input and output
constexpr std::uint64_t kDefaultClusterSize = 4096;
// $STANDARD_INFORMATION value fields.
constexpr std::size_t kSiModifiedOffset = 8;
constexpr std::size_t kSiAccessedOffset = 24;
constexpr std::size_t kSiMinimumLength = 32;
// Records from NTFS 3.1 on carry their own number; their update sequence starts at 48 or later.
constexpr std::size_t kUsaOffsetWithNumber = 48;

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

// The record's own number, when its header carries one.
std::optional<std::uint64_t> ownNumber(Bytes record) {
  if (le16(record, ntfs_record::kUsaOffsetOffset) < kUsaOffsetWithNumber) {
    return std::nullopt;
  }
  return le32(record, ntfs_record::kRecordNumberOffset);
}

// A stretch of the data by VCN: clusters on the volume, a sparse run, or a range that no
// extent describes (an extension record that is missing or damaged).
struct Piece {
  std::uint64_t vcn = 0;
  std::uint64_t count = 0;
  std::uint64_t lcn = 0;
  bool allocated = false;
};

// Everything the save needs about an entry's unnamed $DATA.
struct DataLayout {
  bool found = false;
  DataAttributeInfo info; // of the extent that starts the data
  std::vector<std::uint8_t> residentValue;
  std::vector<Piece> pieces; // ordered by VCN, without gaps or overlaps
  std::string problem;       // what could not be read, for the caller
};

class DataReader {
public:
  explicit DataReader(ntfs &volume)
      : v_(volume),
        clusterSize_(volume.clusterSize != 0 ? volume.clusterSize : kDefaultClusterSize) {
    volumeClusters_ = volume.volumeSize != 0 ? volume.volumeSize / clusterSize_ : UINT64_MAX;
  }

  bool readRecord(std::uint64_t offset, std::vector<std::uint8_t> &out) {
    return v_.readRecord(offset, out);
  }

  // The unnamed $DATA of the base record read from baseOffset; its number is taken from the
  // record, or is number when the record does not carry it (NTFS 3.0).
  DataLayout describe(const std::vector<std::uint8_t> &base, std::uint64_t baseOffset,
                      std::uint64_t number);

  // Reads record number into out, checked where the record carries its own number: it must be
  // that number, and have baseNumber as its base record (0: be a base record itself). known is a
  // record already read (number and offset), from which a contiguous MFT gives a guess.
  std::optional<std::uint64_t> readNumbered(std::uint64_t number, std::uint64_t baseNumber,
                                            std::pair<std::uint64_t, std::uint64_t> known,
                                            std::vector<std::uint8_t> &out);

  [[nodiscard]] std::uint64_t clusterSize() const { return clusterSize_; }
  [[nodiscard]] std::uint64_t volumeClusters() const { return volumeClusters_; }

  // Reads count clusters from lcn into out (count × cluster size bytes); clusters beyond the
  // volume are left as zeros. Returns false when some could not be read.
  bool readClusters(std::uint64_t lcn, std::uint64_t count, std::span<std::uint8_t> out) {
    std::uint64_t readable = lcn < volumeClusters_ ? std::min(count, volumeClusters_ - lcn) : 0;
    if (readable != 0 && lcn > UINT64_MAX / clusterSize_ - readable) {
      readable = 0;
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(readable * clusterSize_), out.end(), 0);
    bool ok = readable == count;
    if (readable != 0 &&
        !v_.reader().readAt(lcn * clusterSize_, out.first(readable * clusterSize_))) {
      ok = false;
    }
    return ok;
  }

private:
  [[nodiscard]] std::vector<std::uint64_t>
  recordOffsetsOf(std::uint64_t number, std::pair<std::uint64_t, std::uint64_t> known) const;
  std::vector<std::uint8_t> readNonResident(Bytes record, const Attribute &a, std::uint64_t cap);
  void addExtents(Bytes record, std::span<const ntfs_data::ListEntry> wanted,
                  std::vector<std::pair<Attribute, std::vector<std::uint8_t>>> &extents);

  ntfs &v_;
  std::uint64_t clusterSize_;
  std::uint64_t volumeClusters_;
};

// Where record number may live, most trusted first: through the MFT's runs when they are known;
// at the table position of that number (standard mode reads the MFT in record order); at its
// distance from a known record (deep mode, where the MFT is usually contiguous).
std::vector<std::uint64_t>
DataReader::recordOffsetsOf(std::uint64_t number,
                            std::pair<std::uint64_t, std::uint64_t> known) const {
  std::vector<std::uint64_t> out;
  const std::uint64_t rs = v_.recordSize;
  if (!v_.mftRuns.empty() && number <= UINT64_MAX / rs) {
    const std::uint64_t byte = number * rs;
    const std::uint64_t cluster = byte / clusterSize_;
    std::uint64_t vcn = 0;
    for (const auto &run : v_.mftRuns) {
      if (cluster - vcn < run.count) {
        const auto lcn = static_cast<std::uint64_t>(run.lcn) + (cluster - vcn);
        if (!run.sparse && lcn <= UINT64_MAX / clusterSize_ - 1) {
          out.push_back(lcn * clusterSize_ + byte % clusterSize_);
        }
        break;
      }
      vcn += run.count;
    }
  }
  if (number < v_.entries.size() && v_.entries[number].isRecord()) {
    out.push_back(v_.entries[number].recordOffset);
  }
  const auto [knownNumber, knownOffset] = known;
  const std::uint64_t distance = number > knownNumber ? number - knownNumber : knownNumber - number;
  if (distance != 0 && distance <= UINT64_MAX / rs) {
    if (number > knownNumber && distance * rs <= UINT64_MAX - knownOffset) {
      out.push_back(knownOffset + distance * rs);
    } else if (number < knownNumber && distance * rs <= knownOffset) {
      out.push_back(knownOffset - distance * rs);
    }
  }
  return out;
}

std::optional<std::uint64_t> DataReader::readNumbered(std::uint64_t number,
                                                      std::uint64_t baseNumber,
                                                      std::pair<std::uint64_t, std::uint64_t> known,
                                                      std::vector<std::uint8_t> &out) {
  for (const std::uint64_t offset : recordOffsetsOf(number, known)) {
    if (!readRecord(offset, out)) {
      continue;
    }
    const auto own = ownNumber(out);
    const std::uint64_t base =
        le64(out, ntfs_record::kBaseRecordOffset) & ntfs_record::kReferenceMask;
    if (base == baseNumber && (own ? *own == (number & 0xFFFFFFFF)
                                   // without a number only the MFT's own layout is trusted
                                   : !v_.mftRuns.empty() || number < v_.entries.size())) {
      return offset;
    }
  }
  return std::nullopt;
}

std::vector<std::uint8_t> DataReader::readNonResident(Bytes record, const Attribute &a,
                                                      std::uint64_t cap) {
  const auto runs = ntfs_record::decodeRunList(record.subspan(a.runListOffset, a.runListLength),
                                               ntfs_record::vcnClusters(a));
  std::vector<std::uint8_t> out;
  const std::uint64_t size = std::min(a.realSize, cap);
  out.reserve(static_cast<std::size_t>(size));
  std::vector<std::uint8_t> cluster(clusterSize_);
  for (const auto &run : runs) {
    for (std::uint64_t i = 0; i < run.count && out.size() < size; ++i) {
      if (run.sparse) {
        std::fill(cluster.begin(), cluster.end(), 0);
      } else {
        readClusters(static_cast<std::uint64_t>(run.lcn) + i, 1, cluster);
      }
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(clusterSize_, size - out.size()));
      out.insert(out.end(), cluster.begin(), cluster.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }
  return out;
}

// Adds the record's unnamed $DATA attributes that the list names (by attribute ID, or by
// starting VCN when the IDs do not match) to extents.
void DataReader::addExtents(Bytes record, std::span<const ntfs_data::ListEntry> wanted,
                            std::vector<std::pair<Attribute, std::vector<std::uint8_t>>> &extents) {
  const auto attrs = ntfs_record::attributes(record);
  for (const auto &w : wanted) {
    const Attribute *match = nullptr;
    for (const auto &a : attrs) {
      if (a.type == ntfs_record::kData && !a.named() && a.attributeId == w.attributeId) {
        match = &a;
        break;
      }
    }
    for (const auto &a : attrs) {
      if (match == nullptr && a.type == ntfs_record::kData && !a.named() &&
          (a.nonResident ? a.firstVcn : 0) == w.startVcn) {
        match = &a;
      }
    }
    if (match == nullptr) {
      continue;
    }
    auto bytes = match->nonResident ? copyOf(record, match->runListOffset, match->runListLength)
                                    : copyOf(record, match->valueOffset, match->valueLength);
    extents.emplace_back(*match, std::move(bytes));
  }
}

DataLayout DataReader::describe(const std::vector<std::uint8_t> &base, std::uint64_t baseOffset,
                                std::uint64_t number) {
  DataLayout layout;
  const auto attrs = ntfs_record::attributes(base);
  // Each extent: its attribute (offsets refer to its own record) and the bytes it needs from
  // there (run list, or the resident value).
  std::vector<std::pair<Attribute, std::vector<std::uint8_t>>> extents;

  const auto list = std::find_if(attrs.begin(), attrs.end(), [](const Attribute &a) {
    return a.type == ntfs_record::kAttributeList;
  });
  if (list != attrs.end()) {
    const std::vector<std::uint8_t> value =
        list->nonResident ? readNonResident(base, *list, kMaxAttributeList)
                          : copyOf(base, list->valueOffset, list->valueLength);
    const auto wanted = ntfs_data::unnamedDataEntries(value);
    // One read per record, whatever the number of its entries.
    std::map<std::uint64_t, std::vector<ntfs_data::ListEntry>> byRecord;
    for (const auto &w : wanted) {
      if (byRecord.size() < kMaxExtensionRecords || byRecord.count(w.recordNumber) != 0) {
        byRecord[w.recordNumber].push_back(w);
      }
    }
    const std::uint64_t baseNumber = ownNumber(base).value_or(number);
    std::vector<std::uint8_t> record;
    for (const auto &[listed, entries] : byRecord) {
      if (listed == baseNumber) {
        addExtents(base, entries, extents);
      } else if (readNumbered(listed, baseNumber, {baseNumber, baseOffset}, record)) {
        addExtents(record, entries, extents);
      } else {
        layout.problem = format("extension record %llu could not be read",
                                static_cast<unsigned long long>(listed));
      }
    }
  }
  if (extents.empty()) {
    if (const Attribute *data = ntfs_data::unnamedData(attrs)) {
      addExtents(base,
                 std::array{ntfs_data::ListEntry{ntfs_record::kData,
                                                 data->nonResident ? data->firstVcn : 0, 0,
                                                 data->attributeId, false}},
                 extents);
    }
  }
  if (extents.empty()) {
    return layout;
  }
  std::stable_sort(extents.begin(), extents.end(), [](const auto &a, const auto &b) {
    return (a.first.nonResident ? a.first.firstVcn : 0) <
           (b.first.nonResident ? b.first.firstVcn : 0);
  });
  layout.found = true;
  layout.info = ntfs_data::dataAttributeInfo(extents.front().first);
  if (!extents.front().first.nonResident) {
    layout.residentValue = std::move(extents.front().second);
    return layout;
  }
  if (layout.info.firstVcn != 0) {
    layout.problem = "the start of the data is missing";
  }
  std::uint64_t vcn = 0;
  for (const auto &[a, runList] : extents) {
    if (!a.nonResident || a.firstVcn < vcn) {
      continue; // a second description of clusters already laid out
    }
    if (a.firstVcn > vcn) {
      layout.pieces.push_back({vcn, a.firstVcn - vcn, 0, false});
      if (layout.problem.empty()) {
        layout.problem = "part of the data is not described by any record";
      }
      vcn = a.firstVcn;
    }
    for (const auto &run : ntfs_record::decodeRunList(runList, ntfs_record::vcnClusters(a))) {
      layout.pieces.push_back({vcn, run.count, static_cast<std::uint64_t>(run.lcn), !run.sparse});
      vcn += run.count;
    }
  }
  return layout;
}

// Bytes the file gets: the real size, but no more than the runs describe, and not into a tail
// that lies wholly outside the volume (a damaged run list). A sparse tail is kept: a sparse file
// may well be larger than its clusters.
std::uint64_t writableSize(const DataLayout &layout, const DataReader &r, std::uint64_t unit) {
  std::uint64_t end = 0;
  for (const auto &p : layout.pieces) {
    if (!p.allocated) {
      end = p.vcn + p.count;
    } else if (p.lcn < r.volumeClusters()) {
      end = p.vcn + std::min(p.count, r.volumeClusters() - p.lcn);
    }
  }
  end = ceilDiv(end, unit) * unit;
  const std::uint64_t cs = r.clusterSize();
  // Only the extent that starts the data knows the size; without it the runs decide.
  const std::uint64_t real = layout.info.firstVcn == 0 ? layout.info.realSize : UINT64_MAX;
  return end > real / cs ? real : end * cs;
}

struct SaveState {
  DataReader &reader;
  OutputFile &out;
  WorkerControl &control;
  std::string error;   // why the save failed
  std::string warning; // what was written as zeros

  bool stopped() {
    if (control.stopRequested()) {
      error = "stopped; the file is incomplete";
      return true;
    }
    return false;
  }
  bool put(Bytes bytes) {
    if (!out.write(bytes)) {
      error = out.error();
      return false;
    }
    return true;
  }
  bool zeros(std::uint64_t n) {
    if (!out.skipZeros(n)) {
      error = out.error();
      return false;
    }
    return true;
  }
};

bool writePlain(const DataLayout &layout, std::uint64_t size, SaveState &s) {
  const std::uint64_t cs = s.reader.clusterSize();
  const std::uint64_t chunkClusters = std::max<std::uint64_t>(1, kMaxReadBytes / cs);
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::min(chunkClusters, ceilDiv(size, cs)) * cs));
  std::uint64_t left = size;
  for (const auto &p : layout.pieces) {
    if (left == 0) {
      break;
    }
    if (!p.allocated) {
      const std::uint64_t n = p.count >= ceilDiv(left, cs) ? left : p.count * cs;
      if (!s.zeros(n)) {
        return false;
      }
      left -= n;
      continue;
    }
    const std::uint64_t vc = s.reader.volumeClusters();
    const std::uint64_t inside = p.lcn < vc ? std::min(p.count, vc - p.lcn) : 0;
    for (std::uint64_t done = 0; done < inside && left > 0; done += chunkClusters) {
      if (s.stopped()) {
        return false;
      }
      const std::uint64_t clusters = std::min({chunkClusters, inside - done, ceilDiv(left, cs)});
      const std::uint64_t n = std::min(clusters * cs, left);
      const auto chunk = std::span(buffer).first(static_cast<std::size_t>(clusters * cs));
      if (!s.reader.readClusters(p.lcn + done, clusters, chunk)) {
        s.warning = "some clusters could not be read and were written as zeros";
      }
      if (!s.put(chunk.first(static_cast<std::size_t>(n)))) {
        return false;
      }
      left -= n;
    }
    if (inside < p.count && left > 0) {
      s.warning = "clusters outside the volume were written as zeros";
      const std::uint64_t rest = p.count - inside;
      const std::uint64_t n = rest >= ceilDiv(left, cs) ? left : rest * cs;
      if (!s.zeros(n)) {
        return false;
      }
      left -= n;
    }
  }
  return left == 0 || s.zeros(left);
}

// One compression unit at a time: all sparse is zeros, a unit whose last cluster is allocated
// is stored raw, anything else is LZNT1. Every unit fills its whole place in the file (a unit
// that decompresses short is padded with zeros), so later units stay at their offsets.
bool writeCompressed(const DataLayout &layout, std::uint64_t size, std::uint64_t unitClusters,
                     SaveState &s) {
  const std::uint64_t cs = s.reader.clusterSize();
  const std::uint64_t unitBytes = unitClusters * cs;
  std::vector<std::uint8_t> input(static_cast<std::size_t>(unitBytes));
  std::vector<std::uint8_t> output(static_cast<std::size_t>(unitBytes));
  std::size_t piece = 0;
  std::uint64_t left = size;
  for (std::uint64_t start = 0; left > 0; start += unitClusters) {
    if (s.stopped()) {
      return false;
    }
    const std::uint64_t end = start + unitClusters;
    while (piece < layout.pieces.size() &&
           layout.pieces[piece].vcn + layout.pieces[piece].count <= start) {
      ++piece;
    }
    // Whole units inside one stretch without readable clusters are zeros, skipped together.
    if (piece < layout.pieces.size() && (!layout.pieces[piece].allocated ||
                                         layout.pieces[piece].lcn >= s.reader.volumeClusters())) {
      const auto &p = layout.pieces[piece];
      const std::uint64_t units = (p.vcn + p.count - start) / unitClusters;
      if (units > 0) {
        const std::uint64_t n = units >= ceilDiv(left, unitBytes) ? left : units * unitBytes;
        if (!s.zeros(n)) {
          return false;
        }
        left -= n;
        start += (units - 1) * unitClusters;
        continue;
      }
    }
    std::fill(input.begin(), input.end(), 0);
    std::uint64_t lastAllocated = 0; // 1-based position in the unit
    for (std::size_t i = piece; i < layout.pieces.size() && layout.pieces[i].vcn < end; ++i) {
      const auto &p = layout.pieces[i];
      const std::uint64_t from = std::max(p.vcn, start);
      const std::uint64_t to = std::min(p.vcn + p.count, end);
      if (!p.allocated || from >= to) {
        continue;
      }
      const auto at = std::span(input).subspan(static_cast<std::size_t>((from - start) * cs),
                                               static_cast<std::size_t>((to - from) * cs));
      if (!s.reader.readClusters(p.lcn + (from - p.vcn), to - from, at)) {
        s.warning = "some clusters could not be read and were written as zeros";
      }
      lastAllocated = to - start;
    }
    const std::uint64_t n = std::min(left, unitBytes);
    if (lastAllocated == 0) {
      if (!s.zeros(n)) {
        return false;
      }
    } else if (lastAllocated == unitClusters) {
      if (!s.put(std::span(input).first(static_cast<std::size_t>(n)))) {
        return false;
      }
    } else {
      const std::size_t produced = lznt1Decompress(
          std::span(input).first(static_cast<std::size_t>(lastAllocated * cs)), output);
      std::fill(output.begin() + static_cast<std::ptrdiff_t>(produced), output.end(), 0);
      if (!s.put(std::span(output).first(static_cast<std::size_t>(n)))) {
        return false;
      }
    }
    left -= n;
  }
  return true;
}

// Last-access and modification times from $STANDARD_INFORMATION; the entry's copy when the
// record has none.
std::pair<std::uint64_t, std::uint64_t> accessAndModified(Bytes record, const NtfsEntry &entry) {
  for (const auto &a : ntfs_record::attributes(record)) {
    if (a.type == ntfs_record::kStandardInformation && !a.nonResident &&
        a.valueLength >= kSiMinimumLength) {
      return {le64(record, a.valueOffset + kSiAccessedOffset),
              le64(record, a.valueOffset + kSiModifiedOffset)};
    }
  }
  return {entry.accessed, entry.modified};
}

} // namespace

std::optional<std::filesystem::path> ntfs::saveEntryFile(std::int64_t index,
                                                         const std::filesystem::path &folder,
                                                         std::string *error,
                                                         std::string_view asName) {
  if (error != nullptr) {
    error->clear();
  }
  if (index < 0 || static_cast<std::uint64_t>(index) >= entries.size()) {
    return saveFailed(error, "no such entry");
  }
  const NtfsEntry &entry = entries[static_cast<std::size_t>(index)];
  if (entry.isFolder()) {
    return saveFailed(error, "is a folder");
  }
  if (!entry.hasName || safeComponent(entry.name).empty()) {
    return saveFailed(error, entry.hasName
                                 ? "the name \"" + entry.name + "\" cannot be used for a file"
                                 : "the entry has no name");
  }
  try {
    DataReader r(*this);
    std::vector<std::uint8_t> record;
    if (!r.readRecord(entry.recordOffset, record)) {
      return saveFailed(error, "the record cannot be read");
    }
    // A name kept in an extension record names its base record's file: the data and times
    // are the base record's.
    std::uint64_t number = ownNumber(record).value_or(static_cast<std::uint64_t>(index));
    std::uint64_t offset = entry.recordOffset;
    const std::uint64_t baseRef =
        le64(record, ntfs_record::kBaseRecordOffset) & ntfs_record::kReferenceMask;
    if (baseRef != 0) {
      const auto base = r.readNumbered(baseRef, 0, {number, offset}, record);
      if (!base) {
        return saveFailed(error,
                          format("the base record %llu of this extension record cannot be read",
                                 static_cast<unsigned long long>(baseRef)));
      }
      number = baseRef;
      offset = *base;
    }
    const DataLayout layout = r.describe(record, offset, number);
    const DataAttributeInfo &info = layout.info;
    if (layout.found && info.encrypted()) {
      return saveFailed(error, "the file is encrypted; its data cannot be decrypted here");
    }
    const bool compressed = layout.found && info.compressed();
    const std::uint64_t unitClusters = 1ULL << std::min(info.compressionUnit, kMaxCompressionUnit);
    if (compressed && info.compressionUnit > kMaxCompressionUnit) {
      return saveFailed(error, format("compression unit of 2^%u clusters is not valid",
                                      static_cast<unsigned>(info.compressionUnit)));
    }
    if (compressed && unitClusters > kMaxUnitBytes / r.clusterSize()) {
      return saveFailed(error, "compression unit too large");
    }

    OutputFile out;
    if (!out.open(folder, asName.empty() ? entry.name : std::string(asName))) {
      return saveFailed(error, out.error());
    }
    SaveState s{r, out, control(), {}, {}};
    bool ok = true;
    if (layout.found && info.residency == 'R') {
      ok = s.put(layout.residentValue);
    } else if (layout.found) {
      const std::uint64_t size = writableSize(layout, r, compressed ? unitClusters : 1);
      ok =
          compressed ? writeCompressed(layout, size, unitClusters, s) : writePlain(layout, size, s);
    }
    const auto [access, modified] = accessAndModified(record, entry);
    out.setTimes(fileTimeFromFiletime(access), fileTimeFromFiletime(modified));
    if (!out.close() && ok) {
      ok = false;
      s.error = out.error();
    }
    if (!ok) {
      return saveFailed(error, s.error);
    }
    if (error != nullptr) {
      *error = !s.warning.empty() ? s.warning : layout.problem;
    }
    return out.path();
  } catch (const std::bad_alloc &) {
    return saveFailed(error, "not enough memory");
  }
}

std::uint64_t ntfs::dataSize(std::int64_t index) {
  if (index < 0 || static_cast<std::uint64_t>(index) >= entries.size()) {
    return 0;
  }
  const NtfsEntry &entry = entries[static_cast<std::size_t>(index)];
  // The scan already took the size from the record or, for data kept in extension records,
  // from the extent that starts the data; only an entry it could not settle is read here.
  if (!entry.hasAttributeList || entry.hasData) {
    return entry.dataSize;
  }
  try {
    // The size is kept by the extent that starts the data, which may live in an extension
    // record.
    DataReader r(*this);
    std::vector<std::uint8_t> record;
    if (!r.readRecord(entry.recordOffset, record)) {
      return entry.dataSize;
    }
    const DataLayout layout = r.describe(
        record, entry.recordOffset, ownNumber(record).value_or(static_cast<std::uint64_t>(index)));
    return layout.found && layout.info.firstVcn == 0 ? layout.info.realSize : entry.dataSize;
  } catch (const std::bad_alloc &) {
    return entry.dataSize;
  }
}

std::string ntfs::sizeText(std::int64_t index) { return quillon::sizeText(dataSize(index)); }

} // namespace quillon
