// The raw recovery page without widgets: Parse (loading the signatures and checking the volume
// before the scan starts), the carving worker, Stop, Pause and Resume, and Save (writing finds
// to files). The GUI binds its buttons to these; quillon-cli's carve runs the same steps.
#pragma once

#include "carving/carving_engine.h"
#include "carving/find_writer.h"
#include "core/worker_control.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillon {

class Progress;

inline constexpr char kRawIdleStatus[] = "Please select parse button to scan the default file.";
inline constexpr char kProcessingDoneStatus[] = "Processing done";
inline constexpr char kRawStopStatus[] = "Stop button pressed.Please wait for the process to stop";
inline constexpr char kRawPauseStatus[] = "Pause button pressed";
inline constexpr char kRawResumeStatus[] = "Resume button pressed";
inline constexpr char kEnterInfoFileText[] = "enter the info file first..";
inline constexpr char kZeroSizeVolumeText[] = "zero size volume..";
inline constexpr char kNoSignaturesText[] =
    "No signatures are loaded: check \"Load Default Items \" or choose a signature file.";
inline constexpr char kSelectItemToSaveText[] = "Please Select item from tree to save";

// What Parse reads from the page.
struct RawParseInput {
  bool loadDefaultItems = true;      // "Load Default Items "
  std::filesystem::path defaultFile; // the program folder's FileSetting.txt
  std::string pathField;             // the signature file path field
  std::uint64_t volumeBytes = 0;     // the chosen volume's size
};

class RawRecovery {
public:
  // Parse up to the start of the worker: loads the default file (when asked) and the chosen
  // file (when named), then checks that there is a default path, that the volume has a size
  // and that some signature was loaded. Returns true when the scan is to start; otherwise the
  // reason was shown and the status is "Processing done".
  bool parseSignatures(const RawParseInput &input, Progress &progress);

  // The worker's run after a successful parse: the carving run, then "Processing done".
  void carvingWorker(ItemTree &tree, VolumeBytes &volume, Progress &progress);

  void stop(Progress &progress);
  // Pause and Resume do nothing until a worker was started.
  void pause(Progress &progress);
  void resume(Progress &progress);

  // Save: the finds below the selected item (the checked ones, or all when none is checked)
  // into folder, read through the engine of the run that listed them. Without a selection:
  // "Please Select item from tree to save".
  FindWriteReport save(const ItemTree &tree, ItemHandle selected, VolumeBytes &volume,
                       const std::filesystem::path &folder, Progress &progress);

  std::unique_ptr<myJpg> engine;
  WorkerControl control;
  bool workerStarted = false;

private:
  // The engine whose run put the item's top-level ancestor into the tree, or null.
  [[nodiscard]] const myJpg *engineOf(const ItemTree &tree, ItemHandle item) const;

  // Engines replaced by a later Parse stay alive, since the tree still shows their finds.
  std::vector<std::unique_ptr<myJpg>> retired_;
  std::vector<std::pair<ItemHandle, const myJpg *>> runs_; // top item of each run, its engine
};

} // namespace quillon
