// Test helpers over any FsBrowser: the whole listing as path texts, the one entry at a path, and
// the bytes a save of a file writes.
#pragma once

#include "browse/fs_browser.h"
#include "core/worker_control.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quillon::test {

// Every entry below ROOT, in listing order: the path, "/" after a folder, "*" after a deleted
// entry.
[[nodiscard]] std::vector<std::string> listingOf(FsBrowser &browser, WorkerControl &control);

// The one entry at the path; fails the test when there is not exactly one.
[[nodiscard]] ItemData entryAt(FsBrowser &browser, const std::string &path);

// The bytes a save of the file at path into folder writes; fails the test when none are.
[[nodiscard]] std::vector<std::uint8_t> savedBytes(FsBrowser &browser, const std::string &path,
                                                   const std::filesystem::path &folder);

} // namespace quillon::test
