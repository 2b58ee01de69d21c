// The name search: pattern rules, paths, folders never opened, stops, and path lookups.
#include "browse/listing.h"
#include "browse/search.h"
#include "browse/tree_growth.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "support/fake_browser.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

struct Volume {
  FakeBrowser fs;
  ItemTree tree;
  Volume() {
    const auto docs = fs.folder(-1, "Docs");
    fs.file(docs, "report.doc");
    fs.file(docs, "PHOTO.JPG");
    const auto deep = fs.folder(fs.folder(docs, "a"), "b");
    fs.file(deep, "old_report.txt", "", /*deleted=*/true);
    fs.file(deep, "cat.png");
    fs.folder(docs, "reports"); // folder names are not matched inside a walk
    fs.file(-1, "top.jpg");
    fs.folder(-1, "report-folder"); // an empty top-level folder is matched by its name
    fs.file(-1, "Ünïcödé.txt");
    const ItemHandle root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
    for (const ItemData &top : fs.children(ItemData{})) {
      insertRecordItem(fs, tree, root, top, true);
    }
  }
  // Paths found, "\"-joined from ROOT, with the list texts of the record.
  std::vector<std::string> search(const std::string &pattern, RecordingProgress &progress,
                                  WorkerControl &control, SearchReport *report = nullptr) {
    std::vector<std::string> paths;
    const SearchReport r =
        searchTree(fs, tree, pattern, progress, control,
                   [&](const SearchHit &hit) { paths.push_back(displayPath(hit, kRootItemText)); });
    if (report != nullptr) {
      *report = r;
    }
    return paths;
  }
};

TEST(Search, MatchesAnyPartOfFileNamesCaseSensitivelyAcrossUnopenedFolders) {
  const struct {
    const char *pattern;
    std::vector<std::string> paths;
  } cases[] = {
      {"jpg|png", {"ROOT\\Docs\\a\\b\\cat.png", "ROOT\\top.jpg"}},
      {"report",
       {"ROOT\\Docs\\report.doc", "ROOT\\Docs\\a\\b\\old_report.txt", "ROOT\\report-folder"}},
      {"^Ünïc.d", {"ROOT\\Ünïcödé.txt"}}, // "." is one character, not one byte
      {".jpg", {"ROOT\\top.jpg"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pattern);
    Volume v;
    RecordingProgress progress;
    WorkerControl control;
    EXPECT_EQ(v.search(c.pattern, progress, control), c.paths);
    ASSERT_FALSE(progress.messages().empty());
    EXPECT_EQ(progress.messages().back().text, "Searching Finished");
    EXPECT_TRUE(progress.sawStatus("searched file " + std::to_string(c.paths.size())));
  }
}

TEST(Search, InvalidAndEmptyPatterns) {
  Volume v;
  RecordingProgress invalid;
  WorkerControl control;
  SearchReport report;
  EXPECT_TRUE(v.search("*.jpg", invalid, control, &report).empty());
  EXPECT_TRUE(report.invalidPattern);
  ASSERT_EQ(invalid.messages().size(), 1U);
  EXPECT_EQ(invalid.messages()[0].text,
            "such characters are not allowed for search.Try again with different pattern.");
  EXPECT_TRUE(patternError("*.jpg").has_value());
  EXPECT_FALSE(patternError("jpg|png").has_value());

  RecordingProgress empty;
  EXPECT_TRUE(v.search("", empty, control).empty());
  ASSERT_EQ(empty.messages().size(), 1U);
  EXPECT_EQ(empty.messages()[0].text, "Searching Finished");
}

TEST(Search, StopEndsTheCurrentFolderOnlyAndIsClearedAfterIt) {
  Volume v;
  RecordingProgress progress;
  WorkerControl control;
  control.requestStop();
  // Docs is skipped, the top-level files after it are still matched.
  EXPECT_EQ(v.search("jpg|png", progress, control), (std::vector<std::string>{"ROOT\\top.jpg"}));
  EXPECT_FALSE(control.stopRequested());

  control.requestStop();
  std::size_t hits = 0;
  const SearchReport report = searchTree(
      v.fs, v.tree, "jpg|png", progress, control, [&](const SearchHit &) { ++hits; },
      SearchOptions{.stopEndsSearch = true});
  EXPECT_TRUE(report.stopped);
  EXPECT_EQ(hits, 0U);
}

TEST(Listing, PathsLeadToEveryMatchAndRecursiveListingsMarkOrphans) {
  FakeBrowser fs;
  const auto docs = fs.folder(-1, "Docs");
  fs.file(docs, "a.txt", "live");
  fs.file(docs, "a.txt", "deleted", true);
  const auto orphan = fs.folder(-1, "ORPHAN_ENTRY");
  fs.orphan = orphan;
  fs.file(fs.folder(orphan, "lost"), "x.bin");

  EXPECT_EQ(splitPath("/Docs//a.txt/"), (std::vector<std::string>{"Docs", "a.txt"}));
  EXPECT_EQ(findPath(fs, {"Docs", "a.txt"}).size(), 2U);
  EXPECT_TRUE(findPath(fs, {"Docs", "missing"}).empty());
  const auto root = findPath(fs, {});
  ASSERT_EQ(root.size(), 1U);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(root[0].record));

  std::vector<std::string> listed;
  EXPECT_TRUE(listBelow(fs, root[0], true, nullptr, [&](const ListedEntry &e) {
    listed.push_back(joinPath(e.path) + (e.orphan ? " orphan" : ""));
  }));
  EXPECT_EQ(listed, (std::vector<std::string>{"Docs", "Docs/a.txt", "Docs/a.txt", "ORPHAN_ENTRY",
                                              "ORPHAN_ENTRY/lost orphan",
                                              "ORPHAN_ENTRY/lost/x.bin orphan"}));
  listed.clear();
  EXPECT_TRUE(listBelow(fs, root[0], false, nullptr,
                        [&](const ListedEntry &e) { listed.push_back(joinPath(e.path)); }));
  EXPECT_EQ(listed, (std::vector<std::string>{"Docs", "ORPHAN_ENTRY"}));
}

} // namespace
} // namespace quillon::test
