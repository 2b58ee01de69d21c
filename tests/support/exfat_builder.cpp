// ExFatBuilder: boot sector, allocation table, heap and entry sets of small exFAT volumes.
#include "support/exfat_builder.h"

#include "core/byte_order.h"

#include <algorithm>

namespace quillon::test {
namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kFatSector = 24;

} // namespace

std::uint32_t exFatStamp(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<std::uint32_t>(((year - 1980) << 25) | (month << 21) | (day << 16) |
                                    (hour << 11) | (minute << 5) | (second / 2));
}

std::vector<std::uint8_t> exFatEntrySet(const ExFatSetLayout &layout) {
  const std::size_t nameEntries = layout.nameEntries.value_or(
      (layout.name.size() + 14) / 15 == 0 ? 1 : (layout.name.size() + 14) / 15);
  const std::size_t count = 1 + (layout.withStream ? 1 : 0) + nameEntries;
  std::vector<std::uint8_t> set(count * 32, 0);
  std::span<std::uint8_t> b(set);
  const std::uint8_t del = layout.deleted ? 0x80 : 0;
  set[0] = 0x85 ^ del;
  set[1] = static_cast<std::uint8_t>(count - 1);
  putLe(b, 4, layout.attributes, 2);
  putLe(b, 8, layout.createStamp, 4);
  putLe(b, 12, layout.modifyStamp, 4);
  putLe(b, 16, layout.accessStamp, 4);
  set[21] = layout.modify10ms;
  set[23] = layout.modifyUtcOffset;
  set[24] = layout.accessUtcOffset;
  std::size_t at = 32;
  if (layout.withStream) {
    set[at] = 0xC0 ^ del;
    set[at + 1] = layout.flags;
    set[at + 3] = layout.nameLength.value_or(static_cast<std::uint8_t>(layout.name.size()));
    putLe(b, at + 8, layout.validDataLength, 8);
    putLe(b, at + 20, layout.firstCluster, 4);
    putLe(b, at + 24, layout.dataLength, 8);
    at += 32;
  }
  for (std::size_t n = 0; n < nameEntries; ++n, at += 32) {
    set[at] = 0xC1 ^ del;
    for (std::size_t u = 0; u < 15; ++u) {
      const std::size_t i = n * 15 + u;
      putLe(b, at + 2 + 2 * u, i < layout.name.size() ? layout.name[i] : 0, 2);
    }
  }
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) {
      continue;
    }
    sum = static_cast<std::uint16_t>(((sum & 1) != 0 ? 0x8000 : 0) + (sum >> 1) + set[i]);
  }
  putLe(b, 2, sum, 2);
  return set;
}

std::vector<std::uint8_t> exFatRootHeader() {
  std::vector<std::uint8_t> header(64, 0);
  header[0] = 0x81; // allocation bitmap (its cluster is not used by the parser)
  putLe(header, 20, 2, 4);
  header[32] = 0x82; // up-case table
  putLe(header, 32 + 20, 2, 4);
  return header;
}

std::vector<std::uint8_t> exFatLabelEntry(const std::u16string &label) {
  std::vector<std::uint8_t> entry(32, 0);
  entry[0] = 0x83;
  entry[1] = static_cast<std::uint8_t>(std::min<std::size_t>(label.size(), 11));
  for (std::size_t i = 0; i < entry[1]; ++i) {
    putLe(entry, 2 + 2 * i, label[i], 2);
  }
  return entry;
}

ExFatBuilder::ExFatBuilder(std::uint32_t clusterCount, unsigned clusterShift)
    : clusterCount_(clusterCount), clusterSize_(kSector << clusterShift) {
  const std::uint64_t fatSectors = ((clusterCount + 2ULL) * 4 + kSector - 1) / kSector;
  fatOffset_ = kFatSector * kSector;
  heapOffset_ = (kFatSector + fatSectors) * kSector;
  const std::uint64_t volumeBytes = heapOffset_ + clusterCount * clusterSize_;
  image_.assign(volumeBytes, 0);
  std::span<std::uint8_t> b(image_);
  image_[0] = 0xEB;
  image_[1] = 0x76;
  image_[2] = 0x90;
  std::copy_n("EXFAT   ", 8, image_.begin() + 3);
  putLe(b, 72, volumeBytes / kSector, 8);
  putLe(b, 80, kFatSector, 4);
  putLe(b, 84, fatSectors, 4);
  putLe(b, 88, heapOffset_ / kSector, 4);
  putLe(b, 92, clusterCount, 4);
  putLe(b, 104, 0x0100, 2);
  image_[108] = 9;
  image_[109] = static_cast<std::uint8_t>(clusterShift);
  image_[110] = 1;
  image_[510] = 0x55;
  image_[511] = 0xAA;
  setFat(0, 0xFFFFFFF8);
  setFat(1, 0xFFFFFFFF);
  nextFree_ = 3; // cluster 2 stands for the bitmap and up-case table
}

void ExFatBuilder::setFat(std::uint32_t cluster, std::uint32_t value) {
  putLe(image_, fatOffset_ + 4ULL * cluster, value, 4);
}

void ExFatBuilder::setBootField(std::size_t offset, std::uint64_t value, std::size_t width) {
  putLe(image_, offset, value, width);
}

void ExFatBuilder::writeAt(std::uint64_t offset, const std::vector<std::uint8_t> &bytes) {
  std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(offset));
}

std::uint64_t ExFatBuilder::clusterOffset(std::uint32_t cluster) const {
  return heapOffset_ + (cluster - 2ULL) * clusterSize_;
}

std::uint32_t ExFatBuilder::store(const std::vector<std::uint8_t> &data, bool contiguous,
                                  bool gap) {
  const std::uint64_t clusters =
      std::max<std::uint64_t>(1, (data.size() + clusterSize_ - 1) / clusterSize_);
  const std::uint32_t first = nextFree_;
  std::uint32_t previous = 0;
  for (std::uint64_t n = 0; n < clusters; ++n) {
    const std::uint32_t cluster = nextFree_;
    nextFree_ += (gap && !contiguous) ? 2 : 1;
    const std::uint64_t from = n * clusterSize_;
    const std::uint64_t size = std::min<std::uint64_t>(
        clusterSize_, data.size() - std::min<std::uint64_t>(from, data.size()));
    std::copy_n(data.begin() +
                    static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(from, data.size())),
                size, image_.begin() + static_cast<std::ptrdiff_t>(clusterOffset(cluster)));
    if (!contiguous) {
      if (previous != 0) {
        setFat(previous, cluster);
      }
      setFat(cluster, 0xFFFFFFFF);
    }
    previous = cluster;
  }
  return first;
}

std::uint32_t ExFatBuilder::setRoot(const std::vector<std::uint8_t> &entries) {
  const std::uint32_t cluster = store(entries);
  putLe(image_, 96, cluster, 4);
  return cluster;
}

std::vector<std::uint8_t> ExFatBuilder::systemEntries(const std::u16string &label) {
  image_[clusterOffset(2)] = 0x07;
  setFat(2, 0xFFFFFFFF);
  std::vector<std::uint8_t> upcase(256);
  for (std::size_t i = 0; i < 128; ++i) {
    putLe(upcase, 2 * i, i, 2);
  }
  std::uint32_t checksum = 0;
  for (const std::uint8_t b : upcase) {
    checksum = ((checksum & 1) != 0 ? 0x80000000U : 0) + (checksum >> 1) + b;
  }
  const std::uint32_t upcaseCluster = store(upcase);
  std::vector<std::uint8_t> out = exFatLabelEntry(label);
  out.resize(96, 0);
  out[32] = 0x81;
  putLe(out, 32 + 20, 2, 4);
  putLe(out, 32 + 24, (clusterCount_ + 7) / 8, 8);
  out[64] = 0x82;
  putLe(out, 64 + 4, checksum, 4);
  putLe(out, 64 + 20, upcaseCluster, 4);
  putLe(out, 64 + 24, upcase.size(), 8);
  return out;
}

void ExFatBuilder::writeBackupBootSector() {
  std::copy_n(image_.begin(), kSector, image_.begin() + 12 * kSector);
}

} // namespace quillon::test
