// A scanned ext volume for the ext tests: the parser over a built volume, its browse adapter,
// and the listing and saving helpers the tests compare against.
#pragma once

#include "browse/ext_browser.h"
#include "browse/listing.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "fs/ext/ext2.h"
#include "support/browse_check.h"
#include "support/ext_builder.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace quillon::test {

inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

struct ExtHarness {
  explicit ExtHarness(const ExtBuilder &builder)
      : ExtHarness(builder.sparseDisk(), builder.record()) {}
  ExtHarness(std::unique_ptr<readWriteInterface> disk, VolumeRecord record)
      : reader(std::move(disk)), parser(*reader, progress, control, std::move(record)),
        browser(parser) {}

  bool scan() { return parser.standardScan(); }

  [[nodiscard]] std::vector<std::string> listing() { return listingOf(browser, control); }
  [[nodiscard]] ItemData at(const std::string &path) { return entryAt(browser, path); }

  [[nodiscard]] const ExtNode &node(const std::string &path) {
    const ItemData data = at(path);
    const auto *key = std::get_if<std::int64_t>(&data);
    static const ExtNode none;
    const ExtNode *n = key == nullptr ? nullptr : parser.findNode(*key);
    return n == nullptr ? none : *n;
  }

  [[nodiscard]] std::vector<std::uint8_t> saved(const std::string &path) {
    return savedBytes(browser, path, out.path());
  }

  std::unique_ptr<readWriteInterface> reader;
  RecordingProgress progress;
  WorkerControl control;
  ext2Class parser;
  ExtBrowser browser;
  TempDir out;
};

} // namespace quillon::test
