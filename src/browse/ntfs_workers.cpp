// NTFS scan workers.
#include "browse/ntfs_workers.h"

#include "browse/ntfs_browser.h"
#include "browse/recycle_bin.h"
#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_tree.h"

namespace quillon {

namespace {

void setBaseOffset(ntfs &parser) {
  parser.reader().baseOffset = parser.volume().startSector * kSectorSize;
}

// The tree's top level, placeholders and Recycle Bin names, then the end-of-scan texts.
void endOfScan(ntfs &parser, ItemTree &tree, bool advanced, NtfsScanOptions options) {
  fillRootItems(parser, tree);
  NtfsBrowser browser(parser);
  renameRecycleBinFiles(browser, tree);
  if (options.endMessages) {
    if (advanced) {
      parser.progress().inform(kAdvancedScanCompletedText);
    }
    parser.progress().inform(kScanCompletedText);
  }
  parser.progress().setStatus(kProcessingDoneText);
}

} // namespace

void runNtfsWorkerA(ntfs &parser, ItemTree &tree, NtfsScanOptions options) {
  setBaseOffset(parser);
  resetTree(tree);
  parser.readBootSector();
  if (parser.mode == NtfsMode::Deep) {
    parser.progress().setStatus(" scanning for mft entries in deep mode ....");
    parser.scanForMftRecords();
  } else {
    parser.progress().setStatus(" ParsingBasedOnMFT is going on....");
    parser.locateMftRuns();
  }
  parser.readMftRecords();
  parser.finishEntryTable();
  endOfScan(parser, tree, false, options);
}

std::int64_t runNtfsCandidateSearch(ntfs &parser, std::int64_t maximum, NtfsScanOptions options) {
  setBaseOffset(parser);
  parser.readBootSector();
  const std::int64_t found = parser.findMftCandidates(maximum < 1 ? 3 : maximum);
  if (options.endMessages) {
    parser.progress().inform(format("Number of MFT-ENTRY found = %d . Please select the choice "
                                    "from combo box and click Parse button to proceed.",
                                    static_cast<int>(found)));
  }
  parser.progress().setStatus("Parsing done.Click next to continue.");
  return found;
}

bool runNtfsWorkerB(ntfs &parser, ItemTree &tree, std::int64_t candidate,
                    std::uint64_t sectorsPerCluster, NtfsScanOptions options) {
  parser.control().clearStop();
  tree.clear();
  resetTree(tree);
  parser.entries.clear();
  parser.mode = NtfsMode::Advanced;
  const bool found = parser.selectMftCandidate(candidate);
  if (sectorsPerCluster > 0) {
    parser.clusterSize = sectorsPerCluster * kSectorSize;
  }
  parser.readMftRecords();
  parser.finishEntryTable();
  endOfScan(parser, tree, true, options);
  return found;
}

} // namespace quillon
