// Saving a folder: count the files below it, ask whether to go on, then write every file below
// it into the output folder, folders becoming folders. Every name read from the volume becomes
// a path component only after it is made safe, so nothing is written outside the output folder;
// the walk uses an explicit stack and a visited set, so a folder chain that loops or runs deep
// on a damaged volume cannot recurse forever.
#pragma once

#include "browse/fs_browser.h"
#include "core/item_tree.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;

// Texts of the save procedure.
inline constexpr char kSelectOutputFolderText[] = "select output folder";
inline constexpr char kSavingDoneText[] = "Saving process done";
inline constexpr char kBusyText[] = "Please wait for other process to complete";

struct SaveReport {
  enum class Status { Done, NoOutputFolder, NotAFolder, Declined, Stopped };
  Status status = Status::Done;
  std::uint64_t counted = 0; // file records below the folder
  std::uint64_t handled = 0; // file records walked
  std::uint64_t written = 0; // files written
  std::uint64_t skipped = 0; // counted but never written by rule ($BadClus)
  // One text per file or folder that could not be written ("path: why").
  std::vector<std::string> failures;
};

// File records below a folder (ROOT: the whole top level), following the walks' rules.
[[nodiscard]] std::uint64_t countFiles(FsBrowser &browser, const ItemData &folder,
                                       WorkerControl *control = nullptr);

// The folder walk: writes everything below folder into out (the folder itself is not created),
// reporting "saving File  ..." and "File size: ... kb" for each file and the progress position.
// Ends early when control stops. counter grows by one per file record walked.
void saveFolderContents(FsBrowser &browser, const ItemData &folder,
                        const std::filesystem::path &out, Progress &progress,
                        WorkerControl &control, std::uint64_t &counter, SaveReport &report);

// The whole procedure for one folder record (ROOT included): needs a non-empty output folder,
// counts, asks "number of files found inside this folder = N .do u want to continue dumping
// these files..?", walks, and reports "Saving process done".
SaveReport saveFolder(FsBrowser &browser, const ItemData &folder, const std::filesystem::path &out,
                      Progress &progress, WorkerControl &control);

// The Save button: the tree's selected item must be a folder record of this parser (ROOT,
// files and placeholders do nothing).
SaveReport saveSelectedFolder(FsBrowser &browser, const ItemTree &tree, ItemHandle selected,
                              const std::filesystem::path &out, Progress &progress,
                              WorkerControl &control);

} // namespace quillon
