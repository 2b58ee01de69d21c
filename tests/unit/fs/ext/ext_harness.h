// A scanned ext volume for the ext tests: the parser over a built volume, its browse adapter,
// and the listing and saving helpers the tests compare against.
#pragma once

#include "browse/ext_browser.h"
#include "browse/listing.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "fs/ext/ext2.h"
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

  // Every shown entry below ROOT, in listing order: the path, "/" after a folder, "*" after a
  // deleted entry.
  [[nodiscard]] std::vector<std::string> listing() {
    std::vector<std::string> out;
    (void)listBelow(browser, ListedEntry{}, true, &control, [&](const ListedEntry &e) {
      out.push_back(joinPath(e.path) + (e.info.folder ? "/" : "") + (e.info.deleted ? "*" : ""));
    });
    return out;
  }

  // The one entry at the path; fails the test when there is not exactly one.
  [[nodiscard]] ItemData at(const std::string &path) {
    const auto found = findPath(browser, splitPath(path));
    EXPECT_EQ(found.size(), 1U) << path;
    return found.empty() ? ItemData{} : found.front().record;
  }

  [[nodiscard]] const ExtNode &node(const std::string &path) {
    const ItemData data = at(path);
    const auto *key = std::get_if<std::int64_t>(&data);
    static const ExtNode none;
    const ExtNode *n = key == nullptr ? nullptr : parser.findNode(*key);
    return n == nullptr ? none : *n;
  }

  // The bytes a save of the file at path writes.
  [[nodiscard]] std::vector<std::uint8_t> saved(const std::string &path) {
    const SaveOutcome outcome = browser.saveFile(at(path), out.path());
    EXPECT_TRUE(outcome.written) << path << ": " << outcome.error;
    return outcome.written ? readFileBytes(outcome.path) : std::vector<std::uint8_t>{};
  }

  std::unique_ptr<readWriteInterface> reader;
  RecordingProgress progress;
  WorkerControl control;
  ext2Class parser;
  ExtBrowser browser;
  TempDir out;
};

} // namespace quillon::test
