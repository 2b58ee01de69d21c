// Shared by the file-system fuzz targets: every record of a scanned volume is listed through its
// browse adapter (texts and times included) and the first few files are saved into a private
// folder.
#pragma once

#include "browse/fs_browser.h"
#include "browse/listing.h"
#include "core/worker_control.h"
#include "fuzz_file_support.h"

namespace quillon::fuzz {

inline void browseAndSave(FsBrowser &browser) {
  WorkerControl control;
  int saved = 0;
  (void)browser.orphanFolder();
  (void)listBelow(browser, ListedEntry{}, true, &control, [&](const ListedEntry &e) {
    (void)browser.listTexts(e.record);
    (void)browser.times(e.record);
    if (!e.info.folder && saved < 4) {
      ++saved;
      (void)browser.saveFile(e.record, scratchFolder());
    }
  });
}

} // namespace quillon::fuzz
