// NTFS volume builder for the NTFS tests.
#include "support/ntfs_builder.h"

#include "core/byte_order.h"

#include <algorithm>
#include <stdexcept>

namespace quillon::test {
namespace {

constexpr std::uint64_t kBaseTime = filetimeOf(1600000000); // 2020-09-13 12:26:40 UTC

std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

void place(std::vector<std::uint8_t> &dst, std::size_t offset, std::span<const std::uint8_t> src) {
  for (std::size_t i = 0; i < src.size() && offset + i < dst.size(); ++i) {
    dst[offset + i] = src[i];
  }
}

std::vector<std::uint8_t> utf16le(const std::string &utf8) {
  std::vector<std::uint8_t> out;
  auto unit = [&out](std::uint32_t u) {
    out.push_back(static_cast<std::uint8_t>(u));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<std::uint8_t>(utf8[i]);
    std::uint32_t cp = c;
    std::size_t n = 1;
    if (c >= 0xF0) {
      cp = c & 0x07;
      n = 4;
    } else if (c >= 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else if (c >= 0xC0) {
      cp = c & 0x1F;
      n = 2;
    }
    for (std::size_t k = 1; k < n && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<std::uint8_t>(utf8[i + k]) & 0x3F);
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10));
      unit(0xDC00 + (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

std::size_t signedBytes(std::int64_t v) {
  for (std::size_t n = 1; n < 8; ++n) {
    const std::int64_t lo = -(std::int64_t{1} << (8 * n - 1));
    const std::int64_t hi = (std::int64_t{1} << (8 * n - 1)) - 1;
    if (v >= lo && v <= hi) {
      return n;
    }
  }
  return 8;
}

std::size_t unsignedBytes(std::uint64_t v) {
  std::size_t n = 1;
  while (n < 8 && (v >> (8 * n)) != 0) {
    ++n;
  }
  return n;
}

std::uint64_t clustersOf(const std::vector<NtfsRun> &runs) {
  std::uint64_t n = 0;
  for (const NtfsRun &r : runs) {
    n += r.count;
  }
  return n;
}

// A resident attribute with its value.
std::vector<std::uint8_t> residentAttribute(std::uint32_t type, const std::string &name,
                                            std::span<const std::uint8_t> value,
                                            std::uint16_t flags, bool indexed) {
  const std::vector<std::uint8_t> name16 = utf16le(name);
  const std::size_t valueOffset = align8(24 + name16.size());
  std::vector<std::uint8_t> a(align8(valueOffset + value.size()));
  putLe(a, 0, type, 4);
  putLe(a, 4, a.size(), 4);
  putLe(a, 9, name16.size() / 2, 1);
  putLe(a, 10, name16.empty() ? 0 : 24, 2);
  putLe(a, 12, flags, 2);
  putLe(a, 16, value.size(), 4);
  putLe(a, 20, valueOffset, 2);
  putLe(a, 22, indexed ? 1 : 0, 1);
  place(a, 24, name16);
  place(a, valueOffset, value);
  return a;
}

std::vector<std::uint8_t> encodeAttribute(const NtfsAttribute &attr, std::uint64_t clusterSize) {
  if (attr.resident) {
    return residentAttribute(attr.type, attr.name, attr.value, attr.flags, false);
  }
  const std::vector<std::uint8_t> name16 = utf16le(attr.name);
  const std::vector<std::uint8_t> runs =
      attr.rawRuns.empty() ? NtfsBuilder::encodeRunList(attr.runs) : attr.rawRuns;
  const std::size_t runOffset = align8(64 + name16.size());
  const std::uint64_t clusters = clustersOf(attr.runs);
  std::vector<std::uint8_t> a(align8(runOffset + runs.size()));
  putLe(a, 0, attr.type, 4);
  putLe(a, 4, a.size(), 4);
  putLe(a, 8, 1, 1);
  putLe(a, 9, name16.size() / 2, 1);
  putLe(a, 10, name16.empty() ? 0 : 64, 2);
  putLe(a, 12, attr.flags, 2);
  putLe(a, 16, attr.firstVcn, 8);
  putLe(a, 24, attr.lastVcn.value_or(attr.firstVcn + clusters - 1), 8);
  putLe(a, 32, runOffset, 2);
  putLe(a, 34, attr.compressionUnit, 2);
  putLe(a, 40, attr.allocatedSize.value_or(clusters * clusterSize), 8);
  putLe(a, 48, attr.realSize, 8);
  putLe(a, 56, attr.initializedSize.value_or(attr.realSize), 8);
  place(a, 64, name16);
  place(a, runOffset, runs);
  return a;
}

std::vector<std::uint8_t> fileNameValue(const NtfsFileName &n) {
  const std::vector<std::uint8_t> name16 = utf16le(n.name);
  std::vector<std::uint8_t> v(66 + name16.size());
  putLe(v, 0, n.parent | (static_cast<std::uint64_t>(n.parentSequence) << 48), 8);
  for (std::size_t off = 8; off <= 32; off += 8) {
    putLe(v, off, kBaseTime, 8);
  }
  putLe(v, 40, n.allocatedSize, 8);
  putLe(v, 48, n.realSize, 8);
  putLe(v, 56, n.flags, 4);
  putLe(v, 64, n.lengthByte.value_or(static_cast<std::uint8_t>(name16.size() / 2)), 1);
  putLe(v, 65, n.nameSpace, 1);
  place(v, 66, name16);
  return v;
}

std::vector<std::uint8_t> standardInformationValue(const NtfsTimes &t) {
  std::vector<std::uint8_t> v(72);
  putLe(v, 0, t.created, 8);
  putLe(v, 8, t.modified, 8);
  putLe(v, 16, t.mftChanged, 8);
  putLe(v, 24, t.accessed, 8);
  putLe(v, 32, t.fileAttributes, 4);
  return v;
}

NtfsTimes defaultTimes(std::uint32_t attributes) {
  return {kBaseTime, kBaseTime + 10000000ULL * 3600, kBaseTime + 10000000ULL * 7200,
          kBaseTime + 10000000ULL * 86400, attributes};
}

NtfsAttribute nonResidentData(std::vector<NtfsRun> runs, std::uint64_t realSize) {
  NtfsAttribute a;
  a.resident = false;
  a.runs = std::move(runs);
  a.realSize = realSize;
  return a;
}

// Sectors per cluster as NTFS stores it: above 128 the byte is a negated power of two.
std::uint64_t clusterBytes(const NtfsGeometry &g) {
  const std::uint64_t spc = g.sectorsPerCluster > 128
                                ? std::uint64_t{1} << (256 - g.sectorsPerCluster)
                                : g.sectorsPerCluster;
  return g.bytesPerSector * spc;
}

} // namespace

std::vector<std::uint8_t> NtfsBuilder::encodeRunList(const std::vector<NtfsRun> &runs) {
  std::vector<std::uint8_t> out;
  std::int64_t previous = 0;
  for (const NtfsRun &r : runs) {
    const std::size_t lengthBytes = unsignedBytes(r.count);
    std::size_t offsetBytes = 0;
    std::int64_t delta = 0;
    if (!r.sparse) {
      delta = r.lcn - previous;
      offsetBytes = signedBytes(delta);
      previous = r.lcn;
    }
    out.push_back(static_cast<std::uint8_t>(lengthBytes | (offsetBytes << 4)));
    for (std::size_t i = 0; i < lengthBytes; ++i) {
      out.push_back(static_cast<std::uint8_t>(r.count >> (8 * i)));
    }
    for (std::size_t i = 0; i < offsetBytes; ++i) {
      out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(delta) >> (8 * i)));
    }
  }
  out.push_back(0);
  return out;
}

std::vector<std::uint8_t> NtfsBuilder::encodeAttributeList(const std::vector<NtfsListEntry> &list) {
  std::size_t total = 0;
  for (const NtfsListEntry &e : list) {
    total += align8(26 + 2 * e.name.size() + 8);
  }
  std::vector<std::uint8_t> out(total);
  std::size_t at = 0;
  for (const NtfsListEntry &e : list) {
    const std::vector<std::uint8_t> name16 = utf16le(e.name);
    const std::size_t length = align8(26 + name16.size());
    putLe(out, at, e.type, 4);
    putLe(out, at + 4, length, 2);
    putLe(out, at + 6, name16.size() / 2, 1);
    putLe(out, at + 7, 26, 1);
    putLe(out, at + 8, e.firstVcn, 8);
    putLe(out, at + 16, e.record | (static_cast<std::uint64_t>(e.sequence) << 48), 8);
    putLe(out, at + 24, e.attributeId, 2);
    place(out, at + 26, name16);
    at += length;
  }
  out.resize(at);
  return out;
}

std::vector<std::uint8_t> NtfsBuilder::encodeRecord(const NtfsRecord &record, std::uint64_t number,
                                                    std::uint32_t recordSize,
                                                    std::uint64_t clusterSize) {
  std::vector<std::uint8_t> r(recordSize);
  const std::size_t usaCount = recordSize / 512 + 1;
  const std::size_t usaOffset = 48;
  std::size_t pos = align8(usaOffset + 2 * usaCount);
  r[0] = 'F';
  r[1] = 'I';
  r[2] = 'L';
  r[3] = 'E';
  putLe(r, 4, usaOffset, 2);
  putLe(r, 6, usaCount, 2);
  putLe(r, 16, record.sequence, 2);
  putLe(r, 18, record.names.size(), 2);
  putLe(r, 20, pos, 2);
  putLe(r, 22, (record.inUse ? 1 : 0) | (record.directory ? 2 : 0), 2);
  putLe(r, 28, recordSize, 4);
  putLe(r, 32, record.baseRecord, 8);
  putLe(r, 44, number, 4);

  // Attributes in type order, as NTFS keeps them.
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> attrs;
  if (record.standardInformation) {
    attrs.emplace_back(
        0x10, residentAttribute(0x10, "", standardInformationValue(*record.standardInformation), 0,
                                false));
  }
  if (record.attributeList) {
    attrs.emplace_back(
        0x20, residentAttribute(0x20, "", encodeAttributeList(*record.attributeList), 0, false));
  }
  for (const NtfsFileName &n : record.names) {
    attrs.emplace_back(0x30, residentAttribute(0x30, "", fileNameValue(n), 0, true));
  }
  for (const NtfsAttribute &a : record.attributes) {
    attrs.emplace_back(a.type, encodeAttribute(a, clusterSize));
  }
  std::stable_sort(attrs.begin(), attrs.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });
  std::uint16_t id = 0;
  for (auto &[type, bytes] : attrs) {
    if (pos + bytes.size() + 8 > recordSize) {
      throw std::length_error("attributes do not fit the record");
    }
    if (le16(bytes, 14) == 0) {
      putLe(bytes, 14, id, 2);
    }
    ++id;
    place(r, pos, bytes);
    pos += bytes.size();
  }
  putLe(r, pos, 0xFFFFFFFF, 4);
  putLe(r, 24, pos + 8, 4);
  putLe(r, 40, id, 2);

  // Update sequence: each sector's last word moves into the array, the sequence number takes
  // its place.
  putLe(r, usaOffset, record.usn, 2);
  for (std::size_t i = 1; i < usaCount; ++i) {
    const std::size_t end = i * 512 - 2;
    r[usaOffset + 2 * i] = r[end];
    r[usaOffset + 2 * i + 1] = r[end + 1];
    putLe(r, end, record.usn, 2);
  }
  return r;
}

std::vector<std::uint8_t> NtfsBuilder::bootSector(const NtfsGeometry &g) {
  std::vector<std::uint8_t> b(512);
  b[0] = 0xEB;
  b[1] = 0x52;
  b[2] = 0x90;
  const std::string oem = "NTFS    ";
  std::copy(oem.begin(), oem.end(), b.begin() + 3);
  const std::uint64_t clusterSize = clusterBytes(g);
  putLe(b, 11, g.bytesPerSector, 2);
  putLe(b, 13, g.sectorsPerCluster, 1);
  putLe(b, 21, 0xF8, 1);
  putLe(b, 24, 63, 2);
  putLe(b, 26, 255, 2);
  putLe(b, 36, 0x00800080, 4);
  putLe(b, 40, g.volumeBytes / g.bytesPerSector - 1, 8);
  putLe(b, 48, g.mftRuns.empty() ? g.mftCluster : static_cast<std::uint64_t>(g.mftRuns[0].lcn), 8);
  putLe(b, 56, g.mirrorCluster, 8);
  std::int8_t recordByte = 0;
  if (g.recordSizeByte) {
    recordByte = *g.recordSizeByte;
  } else if (clusterSize != 0 && g.recordSize >= clusterSize) {
    recordByte = static_cast<std::int8_t>(g.recordSize / clusterSize);
  } else {
    int log2 = 0;
    while ((1U << log2) < g.recordSize) {
      ++log2;
    }
    recordByte = static_cast<std::int8_t>(-log2);
  }
  b[64] = static_cast<std::uint8_t>(recordByte);
  b[68] = 1;
  putLe(b, 72, 0x1234567890ABCDEFULL, 8);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

NtfsRecord NtfsBuilder::namedRecord(std::string name, std::uint64_t parent, bool folder) {
  NtfsRecord r;
  r.directory = folder;
  r.standardInformation = defaultTimes(folder ? 0 : 0x20);
  NtfsFileName n;
  n.name = std::move(name);
  n.parent = parent;
  n.flags = folder ? kNtfsDirectoryFlag : 0x20;
  r.names.push_back(std::move(n));
  return r;
}

NtfsBuilder::NtfsBuilder(NtfsGeometry geometry) : geometry_(std::move(geometry)) {
  const std::uint64_t cs = clusterSize();
  const std::uint64_t rs = geometry_.recordSize;
  auto system = [this](std::uint64_t number, const char *name,
                       std::uint32_t flags) -> NtfsRecord & {
    NtfsRecord &r = records_[number] = namedRecord(name, 5, false);
    r.names[0].flags = flags;
    r.standardInformation->fileAttributes = flags;
    return r;
  };
  const std::uint64_t mftBytes = mftRecordCount() * rs;
  system(0, "$MFT", 0x6).attributes.push_back(nonResidentData(mftRuns(), mftBytes));
  system(1, "$MFTMirr", 0x6)
      .attributes.push_back(
          nonResidentData({{static_cast<std::int64_t>(geometry_.mirrorCluster),
                            std::max<std::uint64_t>(1, (4 * rs + cs - 1) / cs), false}},
                          4 * rs));
  for (const auto &[number, name] :
       std::vector<std::pair<std::uint64_t, const char *>>{{2, "$LogFile"},
                                                           {3, "$Volume"},
                                                           {4, "$AttrDef"},
                                                           {6, "$Bitmap"},
                                                           {8, "$BadClus"},
                                                           {9, "$Secure"},
                                                           {10, "$UpCase"}}) {
    NtfsAttribute empty;
    system(number, name, 0x6).attributes.push_back(empty);
  }
  records_[5] = namedRecord(".", 5, true);
  records_[5].names[0].flags |= 0x6;
  system(7, "$Boot", 0x6)
      .attributes.push_back(
          nonResidentData({{0, std::max<std::uint64_t>(1, 8192 / cs), false}}, 8192));
  records_[11] = namedRecord("$Extend", 5, true);
}

std::uint64_t NtfsBuilder::clusterSize() const { return clusterBytes(geometry_); }

std::vector<NtfsRun> NtfsBuilder::mftRuns() const {
  if (!geometry_.mftRuns.empty()) {
    return geometry_.mftRuns;
  }
  const std::uint64_t bytes = geometry_.mftRecords * geometry_.recordSize;
  return {{static_cast<std::int64_t>(geometry_.mftCluster),
           (bytes + clusterSize() - 1) / clusterSize(), false}};
}

std::uint64_t NtfsBuilder::mftRecordCount() const {
  if (geometry_.mftRuns.empty()) {
    return geometry_.mftRecords;
  }
  return clustersOf(geometry_.mftRuns) * clusterSize() / geometry_.recordSize;
}

std::optional<std::uint64_t> NtfsBuilder::recordOffset(std::uint64_t number) const {
  std::uint64_t stream = number * geometry_.recordSize;
  const std::uint64_t cs = clusterSize();
  for (const NtfsRun &r : mftRuns()) {
    if (stream < r.count * cs) {
      if (r.sparse) {
        return std::nullopt;
      }
      return static_cast<std::uint64_t>(r.lcn) * cs + stream;
    }
    stream -= r.count * cs;
  }
  return std::nullopt;
}

NtfsRecord &NtfsBuilder::record(std::uint64_t number) { return records_[number]; }

NtfsBuilder &NtfsBuilder::set(std::uint64_t number, NtfsRecord record) {
  records_[number] = std::move(record);
  return *this;
}

NtfsBuilder &NtfsBuilder::remove(std::uint64_t number) {
  records_.erase(number);
  return *this;
}

NtfsBuilder &NtfsBuilder::folder(std::uint64_t number, std::string name, std::uint64_t parent,
                                 bool inUse) {
  NtfsRecord r = namedRecord(std::move(name), parent, true);
  r.inUse = inUse;
  return set(number, std::move(r));
}

NtfsBuilder &NtfsBuilder::file(std::uint64_t number, std::string name, std::uint64_t parent,
                               std::vector<std::uint8_t> content, bool inUse) {
  NtfsRecord r = namedRecord(std::move(name), parent, false);
  r.inUse = inUse;
  r.names[0].realSize = content.size();
  r.names[0].allocatedSize = (content.size() + 7) & ~std::uint64_t{7};
  NtfsAttribute data;
  data.value = std::move(content);
  r.attributes.push_back(std::move(data));
  return set(number, std::move(r));
}

NtfsBuilder &NtfsBuilder::write(std::uint64_t offset, std::vector<std::uint8_t> bytes) {
  writes_.emplace_back(offset, std::move(bytes));
  return *this;
}

NtfsBuilder &NtfsBuilder::writeCluster(std::uint64_t lcn, std::vector<std::uint8_t> bytes) {
  return write(lcn * clusterSize(), std::move(bytes));
}

std::vector<std::uint8_t> NtfsBuilder::build() const {
  std::vector<std::uint8_t> image(geometry_.volumeBytes);
  auto put = [&image](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (offset > image.size() || bytes.size() > image.size() - offset) {
      throw std::out_of_range("write past the volume end");
    }
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
  };
  const std::vector<std::uint8_t> boot = bootSector(geometry_);
  put(0, boot);
  put(image.size() - 512, boot);
  const std::uint32_t rs = geometry_.recordSize;
  const std::uint64_t cs = clusterSize();
  for (const auto &[number, record] : records_) {
    const std::vector<std::uint8_t> bytes = encodeRecord(record, number, rs, cs);
    // A record may span clusters of different runs when clusters are smaller than records.
    for (std::uint64_t done = 0; done < rs; done += 512) {
      std::uint64_t left = number * rs + done;
      std::optional<std::uint64_t> volumeOffset;
      for (const NtfsRun &r : mftRuns()) {
        if (left < r.count * cs) {
          if (!r.sparse) {
            volumeOffset = static_cast<std::uint64_t>(r.lcn) * cs + left;
          }
          break;
        }
        left -= r.count * cs;
      }
      if (!volumeOffset) {
        throw std::out_of_range("record outside the MFT");
      }
      put(*volumeOffset, std::span<const std::uint8_t>(bytes).subspan(done, 512));
    }
    if (geometry_.writeMirror && number < 4) {
      put(geometry_.mirrorCluster * cs + number * rs, bytes);
    }
  }
  for (const auto &[offset, bytes] : writes_) {
    put(offset, bytes);
  }
  return image;
}

std::unique_ptr<MemoryReader> NtfsBuilder::reader() const {
  return std::make_unique<MemoryReader>(build());
}

NtfsHarness::NtfsHarness(std::vector<std::uint8_t> image, std::string sizeText)
    : reader(std::move(image)),
      parser(reader, progress, control,
             VolumeRecord{"NTFS", "", "0",
                          sizeText.empty() ? std::to_string(reader.disk().size() >> 20) + "   MB"
                                           : std::move(sizeText),
                          0}) {}

void NtfsHarness::standardScan() {
  parser.mode = NtfsMode::Standard;
  (void)parser.readBootSector();
  (void)parser.locateMftRuns();
  parser.readMftRecords();
  parser.finishEntryTable();
}

void NtfsHarness::deepScan() {
  parser.mode = NtfsMode::Deep;
  (void)parser.readBootSector();
  (void)parser.scanForMftRecords();
  parser.readMftRecords();
  parser.finishEntryTable();
}

std::int64_t NtfsHarness::find(const std::string &name) const {
  for (std::size_t i = 0; i < parser.entries.size(); ++i) {
    if (parser.entries[i].hasName && parser.entries[i].name == name) {
      return static_cast<std::int64_t>(i);
    }
  }
  return -1;
}

std::vector<std::string> NtfsHarness::childNames(std::int64_t folder) const {
  std::vector<std::string> names;
  for (const std::int64_t i : parser.children(folder)) {
    names.push_back(entry(i).name);
  }
  return names;
}

} // namespace quillon::test
