// VHD and VDI image builders for tests.
#include "support/vhd_vdi_builder.h"

#include "core/byte_order.h"

#include <algorithm>
#include <cstring>

namespace quillon::test {

namespace {

constexpr std::uint8_t kPadding = 0xEE;

std::uint64_t roundUp(std::uint64_t v, std::uint64_t unit) { return (v + unit - 1) / unit * unit; }

void putText(std::vector<std::uint8_t> &b, std::size_t off, const char *text) {
  std::memcpy(b.data() + off, text, std::strlen(text));
}

void growTo(std::vector<std::uint8_t> &b, std::uint64_t size) {
  if (b.size() < size) {
    b.resize(size, 0);
  }
}

// Puts the disk pattern of disk bytes [diskOffset, diskOffset + length) at file offset at.
void putPattern(std::vector<std::uint8_t> &b, std::uint64_t at, std::uint64_t diskOffset,
                std::uint64_t length) {
  growTo(b, at + length);
  for (std::uint64_t i = 0; i < length; ++i) {
    b[at + i] = diskPattern(diskOffset + i);
  }
}

} // namespace

std::uint8_t diskPattern(std::uint64_t x) {
  std::uint64_t h = (x >> 9) * 0x9E3779B97F4A7C15ULL;
  h ^= h >> 29;
  return static_cast<std::uint8_t>((h >> 32) + (x & 511) * 7 + 1);
}

std::vector<std::uint8_t> diskPatternBytes(std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> out(length);
  for (std::size_t i = 0; i < length; ++i) {
    out[i] = diskPattern(offset + i);
  }
  return out;
}

std::vector<std::uint8_t> vhdFooter(std::uint64_t diskSize, std::uint32_t diskType,
                                    std::uint64_t dataOffset) {
  std::vector<std::uint8_t> f(512, 0);
  putText(f, 0, "conectix");
  putBe(f, 8, 2, 4);           // features: reserved bit
  putBe(f, 12, 0x00010000, 4); // format version
  putBe(f, 16, dataOffset, 8);
  putText(f, 28, "qtst");
  putText(f, 36, "Wi2k");
  putBe(f, 40, diskSize, 8); // original size
  putBe(f, 48, diskSize, 8); // current size
  putBe(f, 60, diskType, 4);
  std::uint32_t sum = 0;
  for (const std::uint8_t byte : f) {
    sum += byte;
  }
  putBe(f, 64, ~sum, 4);
  return f;
}

std::vector<std::uint8_t> buildFixedVhd(std::uint64_t diskSize) {
  std::vector<std::uint8_t> image;
  putPattern(image, 0, 0, diskSize);
  const std::vector<std::uint8_t> footer = vhdFooter(diskSize, 2, ~0ULL);
  image.insert(image.end(), footer.begin(), footer.end());
  return image;
}

std::vector<std::uint8_t> buildDynamicVhd(const VhdLayout &layout) {
  const std::uint64_t needed = roundUp(layout.diskSize, layout.blockSize) / layout.blockSize;
  const std::uint32_t entries = layout.maxTableEntries.value_or(static_cast<std::uint32_t>(needed));
  // A huge entry count is only written into the header; the table holds what the disk needs.
  const std::uint64_t written = std::min<std::uint64_t>(entries, needed);
  const std::uint64_t bitmapBytes = roundUp((layout.blockSize / 512 + 7) / 8, 512);

  std::vector<std::uint8_t> image =
      vhdFooter(layout.diskSize, layout.diskType, layout.headerOffset);
  growTo(image, layout.headerOffset + 1024);
  std::span<std::uint8_t> header(image.data() + layout.headerOffset, 1024);
  putText(image, layout.headerOffset, "cxsparse");
  putBe(header, 8, ~0ULL, 8);
  putBe(header, 16, layout.tableOffset, 8);
  putBe(header, 24, 0x00010000, 4);
  putBe(header, 28, entries, 4);
  putBe(header, 32, layout.blockSize, 4);
  std::uint32_t sum = 0;
  for (const std::uint8_t byte : header) {
    sum += byte;
  }
  putBe(header, 36, ~sum, 4);

  const std::uint64_t tableEnd = layout.tableOffset + roundUp(written * 4, 512);
  growTo(image, tableEnd);
  std::fill(image.begin() + static_cast<std::ptrdiff_t>(layout.tableOffset),
            image.begin() + static_cast<std::ptrdiff_t>(tableEnd), 0xFF);

  std::uint64_t pos =
      roundUp(std::max<std::uint64_t>(image.size(), layout.headerOffset + 1024), 512);
  for (const std::uint32_t block : layout.allocated) {
    putBe(std::span(image).subspan(layout.tableOffset + 4ULL * block, 4), 0, pos / 512, 4);
    growTo(image, pos + bitmapBytes);
    std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(pos), bitmapBytes, kPadding);
    putPattern(image, pos + bitmapBytes, std::uint64_t{block} * layout.blockSize, layout.blockSize);
    pos += bitmapBytes + layout.blockSize;
  }
  growTo(image, pos);
  const std::vector<std::uint8_t> footer =
      vhdFooter(layout.diskSize, layout.diskType, layout.headerOffset);
  image.insert(image.end(), footer.begin(), footer.end());
  return image;
}

std::uint64_t vdiDataOffset(const VdiLayout &layout) {
  const std::uint64_t blocks = roundUp(layout.diskSize, layout.blockSize) / layout.blockSize;
  const std::uint64_t mapEntries = layout.map ? layout.map->size() : blocks;
  return roundUp(layout.mapOffset + mapEntries * 4, 512);
}

std::vector<std::uint8_t> buildVdi(const VdiLayout &layout) {
  const std::uint64_t blocks = roundUp(layout.diskSize, layout.blockSize) / layout.blockSize;
  std::vector<std::uint32_t> map;
  if (layout.map) {
    map = *layout.map;
  } else {
    for (std::uint32_t i = 0; i < blocks; ++i) {
      map.push_back(i);
    }
  }
  const std::uint64_t dataOffset = vdiDataOffset(layout);
  const std::uint64_t stride = std::uint64_t{layout.blockSize} + layout.extraBytes;

  std::vector<std::uint8_t> image(std::max<std::uint64_t>(dataOffset, 512), 0);
  putText(image, 0, "<<< Quillon test disk image >>>\n");
  putLe(image, 64, 0xBEDA107F, 4);
  putLe(image, 68, 0x00010001, 4); // version 1.1
  putLe(image, 72, 400, 4);        // header size
  putLe(image, 76, layout.imageType, 4);
  putLe(image, 340, layout.mapOffset, 4);
  putLe(image, 344, dataOffset, 4);
  putLe(image, 360, 512, 4); // sector size
  putLe(image, 368, layout.diskSize, 8);
  putLe(image, 376, layout.blockSize, 4);
  putLe(image, 380, layout.extraBytes, 4);
  putLe(image, 384, layout.blockCount.value_or(static_cast<std::uint32_t>(map.size())), 4);
  std::uint32_t stored = 0;
  for (std::size_t b = 0; b < map.size(); ++b) {
    putLe(image, layout.mapOffset + 4 * b, map[b], 4);
    if (map[b] < 0xFFFFFFFE) {
      ++stored;
      const std::uint64_t at = dataOffset + map[b] * stride;
      growTo(image, at + stride);
      std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(at), layout.extraBytes, kPadding);
      putPattern(image, at + layout.extraBytes, b * layout.blockSize, layout.blockSize);
    }
  }
  putLe(image, 388, layout.allocatedCount.value_or(stored), 4);
  return image;
}

} // namespace quillon::test
