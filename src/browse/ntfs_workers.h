// The NTFS scan workers of the scan page and the candidate search of the advanced input page,
// without widgets: each runs on whatever thread calls it (the GUI's worker thread, the command
// line's main thread), reports through the parser's Progress and polls its WorkerControl.
#pragma once

#include "core/item_tree.h"

#include <cstdint>

namespace quillon {

class ntfs;

// Texts of the end of a scan.
inline constexpr char kScanCompletedText[] = "Scanning process completed...";
inline constexpr char kAdvancedScanCompletedText[] = "Scanning process completed.";
inline constexpr char kProcessingDoneText[] = "Processing done...";

struct NtfsScanOptions {
  // Show the end-of-scan message boxes (the page does; the command line does not).
  bool endMessages = true;
};

// Worker A, standard and deep mode (the parser's mode decides): reads the boot sector, finds
// the MFT (standard) or scans for records (deep), builds the entry table, fills the tree's top
// level and gives Recycle Bin files their names back.
void runNtfsWorkerA(ntfs &parser, ItemTree &tree, NtfsScanOptions options = {});

// The advanced input page's worker: reads the boot sector and searches for MFT candidates, up
// to maximum (3 when below 1). Returns the number found.
std::int64_t runNtfsCandidateSearch(ntfs &parser, std::int64_t maximum,
                                    NtfsScanOptions options = {});

// Worker B, advanced mode, after the candidate search: reads the MFT from the chosen candidate,
// with sectorsPerCluster × 512 as the cluster size when it is positive, and fills the tree.
// Returns false when the candidate gave no MFT runs (the tree then shows only ROOT).
bool runNtfsWorkerB(ntfs &parser, ItemTree &tree, std::int64_t candidate,
                    std::uint64_t sectorsPerCluster, NtfsScanOptions options = {});

} // namespace quillon
