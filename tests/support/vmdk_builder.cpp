// In-memory sparse VMDK builder.
#include "support/vmdk_builder.h"

#include "core/byte_order.h"

#include <algorithm>
#include <zlib.h>

namespace quillon::test {

std::vector<std::uint8_t> expectedSector(const SparseVmdkLayout &layout, std::uint64_t sector) {
  std::vector<std::uint8_t> s(512, 0);
  const std::uint64_t grain = sector / layout.grainSize;
  const auto it = layout.grains.find(grain);
  if (sector >= layout.capacity || it == layout.grains.end() ||
      layout.forcedEntries.contains(grain)) {
    return s;
  }
  std::fill(s.begin(), s.end(), it->second);
  putLe(s, 0, sector, 4);
  return s;
}

std::vector<std::uint8_t> buildSparseVmdk(const SparseVmdkLayout &layout) {
  const std::uint64_t gtSpan = layout.grainSize * layout.numGTEsPerGT;
  const std::uint64_t gdCount = (layout.capacity + gtSpan - 1) / gtSpan;
  const std::uint64_t gtSectors = (layout.numGTEsPerGT * 4 + 511) / 512;
  const std::uint64_t descSectors =
      layout.descriptor.empty() ? 0 : (layout.descriptor.size() + 511) / 512;
  const std::uint64_t descSector = descSectors == 0 ? 0 : 1;
  const std::uint64_t gdSector = 1 + descSectors;
  const std::uint64_t gdSectors = (gdCount * 4 + 511) / 512;
  const std::uint64_t firstGt = gdSector + gdSectors;
  std::uint64_t next = firstGt + gdCount * gtSectors;

  std::vector<std::uint8_t> file(next * 512, 0);
  std::vector<std::uint32_t> entries(gdCount * layout.numGTEsPerGT, 0);
  std::vector<std::uint64_t> order;
  for (const auto &[grain, fill] : layout.grains) {
    order.push_back(grain);
  }
  if (layout.reverseGrainOrder) {
    std::reverse(order.begin(), order.end());
  }
  for (const std::uint64_t grain : order) {
    std::vector<std::uint8_t> data(layout.grainSize * 512);
    for (std::uint64_t s = 0; s < layout.grainSize; ++s) {
      const std::uint64_t sector = grain * layout.grainSize + s;
      std::fill(data.begin() + s * 512, data.begin() + (s + 1) * 512, layout.grains.at(grain));
      putLe(data, s * 512, sector, 4);
    }
    entries[grain] = static_cast<std::uint32_t>(next);
    if (layout.compressed) {
      uLongf len = compressBound(data.size());
      std::vector<std::uint8_t> packed(len);
      compress2(packed.data(), &len, data.data(), data.size(), 6);
      std::vector<std::uint8_t> marker(12 + len, 0);
      putLe(marker, 0, grain * layout.grainSize, 8);
      putLe(marker, 8, len, 4);
      std::copy(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(len),
                marker.begin() + 12);
      marker.resize((marker.size() + 511) / 512 * 512, 0);
      file.insert(file.end(), marker.begin(), marker.end());
      next += marker.size() / 512;
    } else {
      file.insert(file.end(), data.begin(), data.end());
      next += layout.grainSize;
    }
  }
  for (const auto &[grain, entry] : layout.forcedEntries) {
    entries[grain] = entry;
  }
  for (std::uint64_t g = 0; g < gdCount; ++g) {
    putLe(file, gdSector * 512 + g * 4, firstGt + g * gtSectors, 4);
    for (std::uint32_t e = 0; e < layout.numGTEsPerGT; ++e) {
      putLe(file, (firstGt + g * gtSectors) * 512 + e * 4, entries[g * layout.numGTEsPerGT + e], 4);
    }
  }
  std::copy(layout.descriptor.begin(), layout.descriptor.end(), file.begin() + 512);

  auto header = [&](std::span<std::uint8_t> h, std::uint64_t gdOffset) {
    putLe(h, 0, 0x564D444B, 4);
    putLe(h, 4, layout.compressed ? 3 : 1, 4);
    putLe(h, 8, layout.compressed ? 0x30001 : 0x3, 4);
    putLe(h, 12, layout.capacity, 8);
    putLe(h, 20, layout.grainSize, 8);
    putLe(h, 28, descSector, 8);
    putLe(h, 36, descSectors, 8);
    putLe(h, 44, layout.numGTEsPerGT, 4);
    putLe(h, 48, layout.compressed ? 0 : gdSector, 8);
    putLe(h, 56, gdOffset, 8);
    putLe(h, 64, firstGt, 8);
    putLe(h, 77, layout.compressed ? 1 : 0, 2);
  };
  if (layout.compressed) {
    header(file, ~0ULL);
    // Footer marker, footer header, end-of-stream marker.
    std::vector<std::uint8_t> tail(1536, 0);
    putLe(tail, 0, 1, 8);
    putLe(tail, 12, 3, 4);
    header(std::span(tail).subspan(512, 512), gdSector);
    file.insert(file.end(), tail.begin(), tail.end());
  } else {
    header(file, gdSector);
  }
  return file;
}

} // namespace quillon::test
