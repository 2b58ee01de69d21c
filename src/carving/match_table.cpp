// The engine's signatures and match table: loading records into entries and rules, building the
// table with its lookup index, and matching one sector against it.
#include "carving/carving_engine.h"

#include "core/text_convert.h"

#include <algorithm>
#include <limits>
#include <new>

namespace quillon {

namespace {

constexpr std::uint32_t kNoEntry = std::numeric_limits<std::uint32_t>::max();

std::string unitsToUtf8(const std::u16string &units) { return utf16ToUtf8(units); }

} // namespace

void myJpg::addSignature(const SignatureRecord &record) {
  const auto id = static_cast<std::uint32_t>(rules.size());
  SignatureEntry entry;
  entry.extension = record.extension;
  entry.extensionLength = record.extensionLength;
  entry.startSignature = record.startSignature;
  entry.endSignature = record.endSignature;
  entry.startLength = record.startLength;
  entry.endLength = record.endLength;
  entry.id = id;
  entry.startOffset = record.startOffset;
  signatureEntries.push_back(entry);

  CarvingRule rule;
  rule.startLength = record.startLength;
  rule.endLength = record.endLength;
  rule.extension = unitsToUtf8(record.extension.substr(0, kRecordExtensionUnits));
  rule.offsetToSize = record.offsetToSize > 0 ? record.offsetToSize : -1;
  rule.bytesInSize = record.bytesInSize;
  rule.headerSize = record.headerSize;
  rule.sizeIncludesHeader = record.sizeIncludesHeader;
  rule.approxSize = record.approxSize;
  rule.skipSize = record.skipSize;
  rule.category = unitsToUtf8(record.category);
  rules.push_back(std::move(rule));
}

bool myJpg::buildMatchTable() {
  if (signatureEntries.empty()) {
    return false;
  }
  try {
    const std::size_t n = signatureEntries.size();
    matchTable.assign(2 * n, MatchEntry{});
    for (std::size_t i = 0; i < n; ++i) {
      const SignatureEntry &e = signatureEntries[i];
      // The whole starting offset counts, so a signature 300 bytes into a file is looked for
      // 300 bytes into the sector.
      matchTable[i] = {e.startLength, e.id, e.startOffset, e.startSignature};
      matchTable[n + i] = {e.endLength, e.id, 0, e.endSignature};
    }
    // Every rule gets a stack, whatever its id.
    pendingStarts.assign(rules.size(), {});

    probes_.clear();
    wildcardEntries_.clear();
    // (probe, key byte, entry) for every entry that can match, in table order; then a counting
    // sort per probe keeps each bucket in table order.
    struct Keyed {
      std::uint32_t probe;
      std::uint8_t byte;
      std::uint32_t entry;
    };
    std::vector<Keyed> keyed;
    std::vector<std::uint32_t> probeOfPosition(step, kNoEntry);
    for (std::uint32_t t = 0; t < matchTable.size(); ++t) {
      const MatchEntry &m = matchTable[t];
      // A one-byte pattern never matches, and a pattern that does not fit in the sector cannot.
      if (m.length < 2 || m.length > kMaxSignatureBytes || m.offset < 0 ||
          m.offset + m.length > static_cast<std::int64_t>(step)) {
        continue;
      }
      std::size_t key = 0;
      while (key < m.length && m.pattern[key] == kWildcardByte) {
        ++key;
      }
      if (key == m.length) {
        wildcardEntries_.push_back(t);
        continue;
      }
      const auto position = static_cast<std::uint32_t>(m.offset + key);
      if (probeOfPosition[position] == kNoEntry) {
        probeOfPosition[position] = static_cast<std::uint32_t>(probes_.size());
        probes_.emplace_back();
        probes_.back().position = position;
      }
      keyed.push_back({probeOfPosition[position], m.pattern[key], t});
    }
    for (const Keyed &k : keyed) {
      ++probes_[k.probe].begin[k.byte + 1];
    }
    for (Probe &probe : probes_) {
      for (std::size_t b = 1; b <= 256; ++b) {
        probe.begin[b] += probe.begin[b - 1];
      }
      probe.entries.resize(probe.begin[256]);
    }
    std::vector<std::array<std::uint32_t, 256>> fill(probes_.size());
    for (std::size_t p = 0; p < probes_.size(); ++p) {
      std::copy_n(probes_[p].begin.begin(), 256, fill[p].begin());
    }
    for (const Keyed &k : keyed) {
      probes_[k.probe].entries[fill[k.probe][k.byte]++] = k.entry;
    }
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

bool myJpg::entryMatches(std::uint32_t entry, std::span<const std::uint8_t> sector) const {
  const MatchEntry &m = matchTable[entry];
  const auto base = static_cast<std::size_t>(m.offset);
  for (std::size_t k = 0; k < m.length; ++k) {
    if (m.pattern[k] != kWildcardByte && m.pattern[k] != sector[base + k]) {
      return false;
    }
  }
  return true;
}

std::optional<SectorMatch> myJpg::matchSector(std::span<const std::uint8_t> sector) const {
  if (sector.size() < step || matchTable.empty()) {
    return std::nullopt;
  }
  std::uint32_t best = kNoEntry;
  for (const std::uint32_t t : wildcardEntries_) {
    if (t >= best) {
      break;
    }
    if (entryMatches(t, sector)) {
      best = t;
      break;
    }
  }
  for (const Probe &probe : probes_) {
    const std::uint8_t b = sector[probe.position];
    for (std::uint32_t i = probe.begin[b]; i < probe.begin[b + 1]; ++i) {
      const std::uint32_t t = probe.entries[i];
      if (t >= best) {
        break;
      }
      if (entryMatches(t, sector)) {
        best = t;
        break;
      }
    }
  }
  if (best == kNoEntry) {
    return std::nullopt;
  }
  const std::size_t n = matchTable.size() / 2;
  return SectorMatch{best < n ? 'S' : 'E', matchTable[best].id};
}

} // namespace quillon
