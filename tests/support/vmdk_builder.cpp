// In-memory sparse VMDK builder.
#include "support/vmdk_builder.h"

#include "core/byte_order.h"

#include <algorithm>
#include <zlib.h>

namespace quillon::test {

std::vector<std::uint8_t> expectedSector(const SparseVmdkSpec &spec, std::uint64_t sector) {
  std::vector<std::uint8_t> s(512, 0);
  const std::uint64_t grain = sector / spec.grainSize;
  const auto it = spec.grains.find(grain);
  if (sector >= spec.capacity || it == spec.grains.end() || spec.forcedEntries.contains(grain)) {
    return s;
  }
  std::fill(s.begin(), s.end(), it->second);
  putLe(s, 0, sector, 4);
  return s;
}

std::vector<std::uint8_t> buildSparseVmdk(const SparseVmdkSpec &spec) {
  const std::uint64_t gtSpan = spec.grainSize * spec.numGTEsPerGT;
  const std::uint64_t gdCount = (spec.capacity + gtSpan - 1) / gtSpan;
  const std::uint64_t gtSectors = (spec.numGTEsPerGT * 4 + 511) / 512;
  const std::uint64_t descSectors =
      spec.descriptor.empty() ? 0 : (spec.descriptor.size() + 511) / 512;
  const std::uint64_t descSector = descSectors == 0 ? 0 : 1;
  const std::uint64_t gdSector = 1 + descSectors;
  const std::uint64_t gdSectors = (gdCount * 4 + 511) / 512;
  const std::uint64_t firstGt = gdSector + gdSectors;
  std::uint64_t next = firstGt + gdCount * gtSectors;

  std::vector<std::uint8_t> file(next * 512, 0);
  std::vector<std::uint32_t> entries(gdCount * spec.numGTEsPerGT, 0);
  std::vector<std::uint64_t> order;
  for (const auto &[grain, fill] : spec.grains) {
    order.push_back(grain);
  }
  if (spec.reverseGrainOrder) {
    std::reverse(order.begin(), order.end());
  }
  for (const std::uint64_t grain : order) {
    std::vector<std::uint8_t> data(spec.grainSize * 512);
    for (std::uint64_t s = 0; s < spec.grainSize; ++s) {
      const std::uint64_t sector = grain * spec.grainSize + s;
      std::fill(data.begin() + s * 512, data.begin() + (s + 1) * 512, spec.grains.at(grain));
      putLe(data, s * 512, sector, 4);
    }
    entries[grain] = static_cast<std::uint32_t>(next);
    if (spec.compressed) {
      uLongf len = compressBound(data.size());
      std::vector<std::uint8_t> packed(len);
      compress2(packed.data(), &len, data.data(), data.size(), 6);
      std::vector<std::uint8_t> marker(12 + len, 0);
      putLe(marker, 0, grain * spec.grainSize, 8);
      putLe(marker, 8, len, 4);
      std::copy(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(len),
                marker.begin() + 12);
      marker.resize((marker.size() + 511) / 512 * 512, 0);
      file.insert(file.end(), marker.begin(), marker.end());
      next += marker.size() / 512;
    } else {
      file.insert(file.end(), data.begin(), data.end());
      next += spec.grainSize;
    }
  }
  for (const auto &[grain, entry] : spec.forcedEntries) {
    entries[grain] = entry;
  }
  for (std::uint64_t g = 0; g < gdCount; ++g) {
    putLe(file, gdSector * 512 + g * 4, firstGt + g * gtSectors, 4);
    for (std::uint32_t e = 0; e < spec.numGTEsPerGT; ++e) {
      putLe(file, (firstGt + g * gtSectors) * 512 + e * 4, entries[g * spec.numGTEsPerGT + e], 4);
    }
  }
  std::copy(spec.descriptor.begin(), spec.descriptor.end(), file.begin() + 512);

  auto header = [&](std::span<std::uint8_t> h, std::uint64_t gdOffset) {
    putLe(h, 0, 0x564D444B, 4);
    putLe(h, 4, spec.compressed ? 3 : 1, 4);
    putLe(h, 8, spec.compressed ? 0x30001 : 0x3, 4);
    putLe(h, 12, spec.capacity, 8);
    putLe(h, 20, spec.grainSize, 8);
    putLe(h, 28, descSector, 8);
    putLe(h, 36, descSectors, 8);
    putLe(h, 44, spec.numGTEsPerGT, 4);
    putLe(h, 48, spec.compressed ? 0 : gdSector, 8);
    putLe(h, 56, gdOffset, 8);
    putLe(h, 64, firstGt, 8);
    putLe(h, 77, spec.compressed ? 1 : 0, 2);
  };
  if (spec.compressed) {
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
