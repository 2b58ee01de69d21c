// FatBuilder: in-memory FAT16/FAT32 volumes for tests.
#include "support/fat_builder.h"

#include "core/byte_order.h"

#include <algorithm>

namespace quillon::test {

std::string fatPadded(std::string_view name) {
  std::string out(11, ' ');
  const auto dot = name.rfind('.');
  const std::string_view base = dot == std::string_view::npos ? name : name.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  std::copy_n(base.begin(), std::min<std::size_t>(base.size(), 8), out.begin());
  std::copy_n(ext.begin(), std::min<std::size_t>(ext.size(), 3), out.begin() + 8);
  return out;
}

FatSlot fatShortSlot(std::string_view name, std::uint8_t attributes, std::uint32_t cluster,
                     std::uint32_t size, std::uint16_t writeDate, std::uint16_t writeTime) {
  FatSlot s{};
  const std::string padded = name.size() == 11 ? std::string(name) : fatPadded(name);
  std::copy_n(padded.begin(), 11, s.begin());
  s[11] = attributes;
  putLe(s, 14, writeTime, 2);
  putLe(s, 16, writeDate, 2);
  putLe(s, 18, writeDate, 2);
  putLe(s, 20, cluster >> 16, 2);
  putLe(s, 22, writeTime, 2);
  putLe(s, 24, writeDate, 2);
  putLe(s, 26, cluster & 0xFFFF, 2);
  putLe(s, 28, size, 4);
  return s;
}

std::vector<FatSlot> fatLongSlots(std::u16string_view name, const FatSlot &shortSlot) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + shortSlot[i]);
  }
  const std::size_t count = (name.size() + 12) / 13;
  std::vector<FatSlot> slots;
  for (std::size_t n = count; n >= 1; --n) {
    FatSlot s{};
    s[0] = static_cast<std::uint8_t>(n | (n == count ? 0x40 : 0));
    s[11] = 0x0F;
    s[13] = sum;
    static constexpr std::array<std::size_t, 13> kAt{1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t k = 0; k < 13; ++k) {
      const std::size_t i = (n - 1) * 13 + k;
      const std::uint16_t unit = i < name.size() ? name[i] : (i == name.size() ? 0 : 0xFFFF);
      putLe(s, kAt[k], unit, 2);
    }
    slots.push_back(s);
  }
  return slots;
}

std::vector<FatSlot> fatNamedSlots(std::u16string_view longName, const FatSlot &shortSlot) {
  auto slots = fatLongSlots(longName, shortSlot);
  slots.push_back(shortSlot);
  return slots;
}

void fatDelete(std::vector<FatSlot> &slots) {
  for (auto &s : slots) {
    s[0] = 0xE5;
  }
}

std::vector<std::uint8_t> fatSlotBytes(const std::vector<FatSlot> &slots) {
  std::vector<std::uint8_t> out;
  for (const auto &s : slots) {
    out.insert(out.end(), s.begin(), s.end());
  }
  return out;
}

FatBuilder::FatBuilder(bool fat32, std::uint32_t clusterCount, std::uint16_t rootEntries)
    : fat32_(fat32) {
  const std::uint32_t width = fat32 ? 4 : 2;
  tableSectors_ = ((clusterCount + 2) * width + 511) / 512;
  reserved_ = fat32 ? 32 : 4;
  const std::uint64_t tablesEnd = (reserved_ + 2ULL * tableSectors_) * 512;
  rootOffset_ = tablesEnd;
  const std::uint64_t rootSectors = fat32 ? 0 : (rootEntries * 32ULL + 511) / 512;
  dataStart_ = tablesEnd + rootSectors * 512;
  const std::uint64_t totalSectors = dataStart_ / 512 + clusterCount;
  image.assign(totalSectors * 512, 0);
  std::span<std::uint8_t> b(image);
  b[0] = 0xEB;
  b[1] = 0x3C;
  b[2] = 0x90;
  std::copy_n("mkfs.fat", 8, b.begin() + 3);
  putLe(b, 11, 512, 2);
  b[13] = 1;
  putLe(b, 14, reserved_, 2);
  b[16] = 2;
  putLe(b, 17, fat32 ? 0 : rootEntries, 2);
  b[21] = 0xF8;
  if (fat32) {
    putLe(b, 32, totalSectors, 4);
    putLe(b, 36, tableSectors_, 4);
    putLe(b, 44, 2, 4);
  } else {
    if (totalSectors < 65536) {
      putLe(b, 19, totalSectors, 2);
    } else {
      putLe(b, 32, totalSectors, 4);
    }
    putLe(b, 22, tableSectors_, 2);
  }
  b[510] = 0x55;
  b[511] = 0xAA;
  setFat(0, fat32 ? 0x0FFFFFF8 : 0xFFF8);
  setFat(1, endMark());
}

std::uint64_t FatBuilder::clusterOffset(std::uint32_t c) const {
  return dataStart_ + (std::uint64_t{c} - 2) * 512;
}

void FatBuilder::setFat(std::uint32_t c, std::uint32_t value) {
  const std::uint32_t width = fat32_ ? 4 : 2;
  for (std::uint32_t t = 0; t < 2; ++t) {
    const std::uint64_t at = (reserved_ + std::uint64_t{t} * tableSectors_) * 512 + c * width;
    putLe(image, at, value, width);
  }
}

void FatBuilder::writeChain(const std::vector<std::uint32_t> &clusters,
                            const std::vector<std::uint8_t> &data) {
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    setFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : endMark());
    const std::size_t from = i * 512;
    if (from < data.size()) {
      const std::size_t n = std::min<std::size_t>(512, data.size() - from);
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(from), n,
                  image.begin() + static_cast<std::ptrdiff_t>(clusterOffset(clusters[i])));
    }
  }
}

void FatBuilder::writeRoot(const std::vector<FatSlot> &slots, std::vector<std::uint32_t> chain) {
  const auto bytes = fatSlotBytes(slots);
  if (fat32_) {
    writeChain(chain, bytes);
  } else {
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(rootOffset_));
  }
}

void FatBuilder::writeFolder(const std::vector<std::uint32_t> &clusters, std::uint32_t parent,
                             const std::vector<FatSlot> &slots) {
  std::vector<FatSlot> all{fatShortSlot(".          ", 0x10, clusters.at(0), 0),
                           fatShortSlot("..         ", 0x10, parent, 0)};
  all.insert(all.end(), slots.begin(), slots.end());
  writeChain(clusters, fatSlotBytes(all));
}

} // namespace quillon::test
