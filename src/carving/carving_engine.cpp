// The carving run: the scan over the volume, the actions on matched sectors, the finds and
// their tree items, and the closing of starts left open.
#include "carving/carving_engine.h"

#include "carving/chunk_reader.h"
#include "core/byte_order.h"
#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"

#include <algorithm>
#include <limits>
#include <new>

namespace quillon {

namespace {

// Bytes read at a time: eight chunks, so a large image costs few requests.
constexpr std::uint64_t kWindowBytes = 8 * myJpg::chunkSize;
// The progress range posted before the chunk count is known.
constexpr std::uint64_t kInitialRange = 1000;

std::uint64_t addCapped(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

// Whole sectors covering size bytes, at least one.
std::uint64_t sectorsCovering(std::uint64_t size) {
  const std::uint64_t sectors = size / myJpg::step + (size % myJpg::step != 0 ? 1 : 0);
  return std::max<std::uint64_t>(1, sectors) * myJpg::step;
}

// Advance after an approximate-size find: the skip size in whole sectors when above one sector.
std::uint64_t skipAdvance(const CarvingRule &rule) {
  if (rule.skipSize > static_cast<std::int64_t>(myJpg::step)) {
    return static_cast<std::uint64_t>(rule.skipSize) / myJpg::step * myJpg::step;
  }
  return myJpg::step;
}

} // namespace

std::string myJpg::findName(std::uint64_t offset, std::uint32_t rule) const {
  std::string name = format("%lld .", static_cast<long long>(offset));
  if (rule < rules.size()) {
    name += rules[rule].extension;
  }
  return name;
}

void myJpg::setUpTree(ItemTree &tree) {
  // Each run lists its finds under its own top item with fresh counts.
  categories.clear();
  topItem = tree.insert(kNoItem, kRawRecoveryItemText, IconKind::Folder);
  std::map<std::string, ItemHandle> items;
  for (CarvingRule &rule : rules) {
    auto [it, added] = items.try_emplace(rule.category, kNoItem);
    if (added) {
      it->second = tree.insert(topItem, rule.category, IconKind::Folder);
      categories.emplace(rule.category, 0);
    }
    rule.categoryItem = it->second;
  }
  tree.setExpanded(topItem, true);
}

void myJpg::addFind(std::uint64_t start, std::uint64_t size, std::uint32_t rule,
                    std::uint64_t nameOffset, ItemTree &tree) {
  results.push_back({start, size, rule});
  const auto index = static_cast<std::int64_t>(results.size() - 1);
  const CarvingRule &r = rules[rule];
  const std::int64_t count = ++categories[r.category];
  tree.setText(r.categoryItem,
               format("%s (%lld)", r.category.c_str(), static_cast<long long>(count)));
  tree.insert(r.categoryItem, findName(nameOffset, rule), IconKind::File, index);
}

std::uint64_t myJpg::act(const SectorMatch &match, std::uint64_t a,
                         std::span<const std::uint8_t> sector, ItemTree &tree) {
  const CarvingRule &r = rules[match.id];
  if (match.kind == 'E') {
    std::deque<std::uint64_t> &open = pendingStarts[match.id];
    if (open.empty()) {
      return step; // an end without a start of its rule
    }
    const std::uint64_t s = open.back();
    open.pop_back();
    std::uint64_t size = a + r.endLength - s;
    if (r.approxSize > 0 && static_cast<std::uint64_t>(r.approxSize) < size) {
      size = static_cast<std::uint64_t>(r.approxSize);
    }
    addFind(s, size, match.id, a, tree);
    return step; // the next file may start in the very next sector
  }
  if (r.endLength != 0) {
    if (pendingStarts[match.id].size() >= std::max<std::size_t>(2, maxOpenStarts)) {
      closeOldestStart(match.id, tree);
    }
    pendingStarts[match.id].push_back(a);
    return step;
  }
  if (r.bytesInSize < 1) {
    addFind(a, static_cast<std::uint64_t>(std::max<std::int64_t>(0, r.approxSize)), match.id, a,
            tree);
    return skipAdvance(r);
  }
  // Header-size rule: the rule was checked at load time, so the field lies inside the sector.
  if (r.bytesInSize != 4 || r.offsetToSize <= 0) {
    return step;
  }
  const auto field =
      static_cast<std::int32_t>(le32(sector, static_cast<std::size_t>(r.offsetToSize)));
  if (field <= 0 || r.approxSize < field) {
    return step;
  }
  const std::uint64_t fileSize =
      static_cast<std::uint64_t>(field) +
      (r.sizeIncludesHeader ? 0 : static_cast<std::uint64_t>(std::max(0, r.headerSize)));
  addFind(a, fileSize, match.id, a, tree);
  // Continue at the first sector after the file, so that a file stored right behind it is found.
  return sectorsCovering(fileSize);
}

void myJpg::closeOldestStart(std::uint32_t id, ItemTree &tree) {
  std::deque<std::uint64_t> &open = pendingStarts[id];
  const std::uint64_t x = open.front();
  open.pop_front();
  std::uint64_t size = static_cast<std::uint64_t>(std::max<std::int64_t>(0, rules[id].approxSize));
  if (!open.empty() && open.front() > x) {
    size = std::min(size, open.front() - x);
  }
  if (size > 0) {
    addFind(x, size, id, x, tree);
  }
}

void myJpg::closeOpenStarts(ItemTree &tree) {
  for (std::uint32_t id = 0; id < pendingStarts.size() && id < rules.size(); ++id) {
    std::deque<std::uint64_t> &open = pendingStarts[id];
    const CarvingRule &r = rules[id];
    std::optional<std::uint64_t> newer;
    while (!open.empty()) {
      const std::uint64_t x = open.back();
      open.pop_back();
      std::uint64_t size = static_cast<std::uint64_t>(std::max<std::int64_t>(0, r.approxSize));
      if (newer && *newer > x) {
        size = std::min(size, *newer - x); // the file at x ends where the next one begins
      }
      if (size > 0) {
        addFind(x, size, id, x, tree);
      }
      newer = x;
    }
  }
}

void myJpg::carve(ItemTree &tree, VolumeBytes &volume, Progress &progress, WorkerControl &control) {
  failedReads = 0;
  if (rules.empty() || !buildMatchTable()) {
    progress.inform(kNotInitializedText);
    return;
  }
  std::optional<ChunkReader> reader;
  try {
    reader.emplace(volume, volumeSize, chunkSize, kWindowBytes, readAhead);
  } catch (const std::bad_alloc &) {
    progress.inform(kNotInitializedText);
    return;
  }
  setUpTree(tree);
  progress.setRange(0, kInitialRange);
  // A volume whose size is not a whole number of chunks has its tail scanned as a last,
  // shorter chunk.
  const std::uint64_t chunkCount = volumeSize / chunkSize + (volumeSize % chunkSize != 0 ? 1 : 0);
  progress.setRange(0, chunkCount);

  std::uint64_t a = 0;
  std::uint64_t postedChunk = std::numeric_limits<std::uint64_t>::max();
  const std::size_t findsBefore = results.size();
  bool tooMany = false;
  while (a < volumeSize) {
    const std::uint64_t c = a / chunkSize;
    if (c != postedChunk) {
      postedChunk = c;
      progress.setPosition(c);
      if (!control.checkpoint()) {
        break;
      }
    }
    if (control.stopRequested()) {
      break;
    }
    if (results.size() - findsBefore >= maxFinds) {
      tooMany = true;
      break;
    }
    const std::span<const std::uint8_t> sector = reader->sector(a);
    const std::optional<SectorMatch> match = matchSector(sector);
    a = addCapped(a, match ? act(*match, a, sector, tree) : step);
  }
  reader->finish();
  failedReads = reader->failedReads();
  reader.reset();
  progress.setPosition(chunkCount);
  closeOpenStarts(tree);
  if (tooMany) {
    progress.inform(format("The scan stopped at byte %llu after %zu finds; carve a smaller range "
                           "to see what lies beyond.",
                           static_cast<unsigned long long>(a), maxFinds));
  }
  progress.inform(kCarveDoneText);
}

} // namespace quillon
