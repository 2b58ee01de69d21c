// Test helpers over any FsBrowser.
#include "support/browse_check.h"

#include "browse/listing.h"
#include "support/file_util.h"

#include <gtest/gtest.h>

namespace quillon::test {

std::vector<std::string> listingOf(FsBrowser &browser, WorkerControl &control) {
  std::vector<std::string> out;
  (void)listBelow(browser, ListedEntry{}, true, &control, [&](const ListedEntry &e) {
    out.push_back(joinPath(e.path) + (e.info.folder ? "/" : "") + (e.info.deleted ? "*" : ""));
  });
  return out;
}

ItemData entryAt(FsBrowser &browser, const std::string &path) {
  const auto found = findPath(browser, splitPath(path));
  EXPECT_EQ(found.size(), 1U) << path;
  return found.empty() ? ItemData{} : found.front().record;
}

std::vector<std::uint8_t> savedBytes(FsBrowser &browser, const std::string &path,
                                     const std::filesystem::path &folder) {
  const SaveOutcome outcome = browser.saveFile(entryAt(browser, path), folder);
  EXPECT_TRUE(outcome.written) << path << ": " << outcome.error;
  return outcome.written ? readFileBytes(outcome.path) : std::vector<std::uint8_t>{};
}

} // namespace quillon::test
