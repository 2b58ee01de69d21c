// A scanned HFS+ volume for the HFS+ tests: the parser over a volume image in memory, its browse
// adapter, and the listing and saving helpers the tests compare against.
#pragma once

#include "browse/hfs_browser.h"
#include "browse/listing.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/hfsplus/hfsplus.h"
#include "support/browse_check.h"
#include "support/file_util.h"
#include "support/hfs_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace quillon::test {

inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

// Deterministic bytes that differ from block to block.
inline std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> out(size);
  std::uint32_t x = seed * 2654435761U + 1;
  for (auto &b : out) {
    x = x * 1664525U + 1013904223U;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

struct HfsHarness {
  HfsHarness(std::vector<std::uint8_t> image, VolumeRecord record)
      : reader(std::move(image)), parser(reader, progress, control, std::move(record)),
        browser(parser) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  explicit HfsHarness(HfsBuilder &builder) : HfsHarness(builder.build(), builder.record()) {}

  bool scan(HfsScanMode mode = HfsScanMode::Standard) { return parser.scan(mode); }

  [[nodiscard]] std::vector<std::string> listing() { return listingOf(browser, control); }
  [[nodiscard]] ItemData at(const std::string &path) { return entryAt(browser, path); }

  [[nodiscard]] const HfsNode &node(const std::string &path) {
    const ItemData data = at(path);
    const auto *cnid = std::get_if<std::uint32_t>(&data);
    static const HfsNode none;
    const HfsNode *n = cnid == nullptr ? nullptr : parser.findNode(*cnid);
    return n == nullptr ? none : *n;
  }

  [[nodiscard]] std::vector<std::uint8_t> saved(const std::string &path) {
    return savedBytes(browser, path, out.path());
  }

  MemoryReader reader;
  RecordingProgress progress;
  WorkerControl control;
  HFSP parser;
  HfsBrowser browser;
  TempDir out;
};

} // namespace quillon::test
