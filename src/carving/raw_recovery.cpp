// The raw recovery page's steps without widgets.
#include "carving/raw_recovery.h"

#include "carving/signature_file.h"
#include "core/progress.h"

namespace quillon {

bool RawRecovery::parseSignatures(const RawParseInput &input, Progress &progress) {
  // A new Parse is a new run: a Stop pressed during the last one must not end this one at once.
  control.clearStop();
  if (input.loadDefaultItems) {
    std::unique_ptr<myJpg> previous = std::move(engine);
    if (!loadDefaultSignatures(engine, input.defaultFile, progress)) {
      engine = std::move(previous);
    } else if (previous) {
      retired_.push_back(std::move(previous));
    }
  }
  if (!input.pathField.empty() && !loadSignatureFile(engine, input.pathField, progress)) {
    progress.setStatus(kProcessingDoneStatus);
    return false;
  }
  if (!engine || engine->rules.empty()) {
    progress.inform(kNoSignaturesText);
    progress.setStatus(kProcessingDoneStatus);
    return false;
  }
  if (input.defaultFile.empty()) {
    progress.inform(kEnterInfoFileText);
    progress.setStatus(kProcessingDoneStatus);
    return false;
  }
  if (input.volumeBytes == 0) {
    progress.inform(kZeroSizeVolumeText);
    progress.setStatus(kProcessingDoneStatus);
    return false;
  }
  engine->volumeSize = input.volumeBytes;
  return true;
}

void RawRecovery::carvingWorker(ItemTree &tree, VolumeBytes &volume, Progress &progress) {
  workerStarted = true;
  if (engine) {
    engine->carve(tree, volume, progress, control);
    if (engine->topItem != kNoItem) {
      runs_.emplace_back(engine->topItem, engine.get());
    }
  }
  progress.setStatus(kProcessingDoneStatus);
}

void RawRecovery::stop(Progress &progress) {
  control.requestStop();
  progress.setStatus(kRawStopStatus);
}

void RawRecovery::pause(Progress &progress) {
  if (!workerStarted) {
    return;
  }
  control.pause();
  progress.setStatus(kRawPauseStatus);
}

void RawRecovery::resume(Progress &progress) {
  if (!workerStarted) {
    return;
  }
  control.resume();
  progress.setStatus(kRawResumeStatus);
}

FindWriteReport RawRecovery::save(const ItemTree &tree, ItemHandle selected, VolumeBytes &volume,
                                  const std::filesystem::path &folder, Progress &progress) {
  const myJpg *owner = tree.valid(selected) ? engineOf(tree, selected) : nullptr;
  if (owner == nullptr) {
    progress.inform(kSelectItemToSaveText);
    return {};
  }
  control.clearStop();
  return writeFinds(*owner, tree, selected, volume, folder, progress, control,
                    FindSelection::CheckedOrAll, true);
}

const myJpg *RawRecovery::engineOf(const ItemTree &tree, ItemHandle item) const {
  ItemHandle top = item;
  while (tree.parent(top) != kNoItem) {
    top = tree.parent(top);
  }
  const myJpg *owner = nullptr; // the latest run wins, should a handle ever be reused
  for (const auto &[runTop, runEngine] : runs_) {
    if (runTop == top) {
      owner = runEngine;
    }
  }
  return owner;
}

} // namespace quillon
