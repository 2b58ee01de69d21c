// Fuzz target for the NTFS parser: the input (capped at 8 MiB, padded to whole sectors) is a
// volume. It is read as the standard mode reads it (boot sector, MFT runs, records, tree), then
// scanned as deep mode does, and searched for MFT candidates of which the first is read.
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/ntfs/ntfs.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Walks the tree from the root and ORPHAN_ENTRY as the browse layer does.
void walkTree(const quillon::ntfs &parser) {
  std::vector<std::int64_t> stack = {parser.rootIndex, parser.orphanIndex};
  std::size_t visits = 0;
  while (!stack.empty() && visits <= parser.entries.size() * 2) {
    const std::int64_t folder = stack.back();
    stack.pop_back();
    for (const std::int64_t child : parser.children(folder)) {
      ++visits;
      if (parser.entries[static_cast<std::size_t>(child)].isFolder()) {
        stack.push_back(child);
      }
    }
  }
  if (!parser.entries.empty()) {
    (void)parser.entryTexts(parser.entries.front());
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  constexpr std::size_t kMaxVolumeBytes = 8 << 20;
  size = std::min(size, kMaxVolumeBytes);
  std::vector<std::uint8_t> volume(data, data + size);
  volume.resize((size + quillon::kSectorSize - 1) / quillon::kSectorSize * quillon::kSectorSize);
  const quillon::VolumeRecord record{"NTFS", "", "0", std::to_string((size >> 20) + 1) + "   MB",
                                     0};

  quillon::MemoryReader reader(std::move(volume));
  quillon::NullProgress progress;
  quillon::WorkerControl control;
  {
    quillon::ntfs standard(reader, progress, control, record);
    (void)standard.readBootSector();
    (void)standard.locateMftRuns();
    standard.readMftRecords();
    standard.finishEntryTable();
    walkTree(standard);
  }
  {
    quillon::ntfs deep(reader, progress, control, record);
    deep.mode = quillon::NtfsMode::Deep;
    (void)deep.readBootSector();
    (void)deep.scanForMftRecords();
    deep.finishEntryTable();
    walkTree(deep);
  }
  {
    quillon::ntfs advanced(reader, progress, control, record);
    advanced.mode = quillon::NtfsMode::Advanced;
    (void)advanced.readBootSector();
    if (advanced.findMftCandidates(3) > 0 && advanced.selectMftCandidate(0)) {
      advanced.readMftRecords();
      advanced.finishEntryTable();
      walkTree(advanced);
    }
  }
  return 0;
}
