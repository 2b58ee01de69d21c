// Saving a folder: the texts of the procedure, the folder structure, hostile names, loops.
#include "browse/save_folder.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "support/fake_browser.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <set>

namespace quillon::test {
namespace {

std::string readText(const std::filesystem::path &p) {
  const auto bytes = readFileBytes(p);
  return {bytes.begin(), bytes.end()};
}

std::set<std::string> treeBelow(const std::filesystem::path &root) {
  std::set<std::string> out;
  for (const auto &e : std::filesystem::recursive_directory_iterator(root)) {
    out.insert(e.path().lexically_relative(root).string() +
               (e.is_directory() && !e.is_symlink() ? "/" : ""));
  }
  return out;
}

TEST(SaveFolder, WritesTheContentsWithTheirFoldersAndReportsInTheSystemsTexts) {
  FakeBrowser fs;
  const auto docs = fs.folder(-1, "Docs");
  fs.file(docs, "a.txt", std::string(3000, 'a'));
  const auto sub = fs.folder(docs, "Sub");
  fs.file(sub, "b.txt", "bee");
  fs.folder(sub, "EmptyOne");
  const auto self = fs.folder(docs, "."); // a self-reference is neither entered nor counted
  fs.file(self, "hidden.txt", "x");

  TempDir out;
  RecordingProgress progress;
  WorkerControl control;
  const SaveReport report = saveFolder(fs, std::int64_t{docs}, out.path(), progress, control);
  EXPECT_EQ(report.status, SaveReport::Status::Done);
  EXPECT_EQ(report.counted, 2U);
  EXPECT_EQ(report.written, 2U);
  EXPECT_TRUE(report.failures.empty());
  EXPECT_EQ(treeBelow(out.path()),
            (std::set<std::string>{"a.txt", "Sub/", "Sub/b.txt", "Sub/EmptyOne/"}));
  EXPECT_EQ(readText(out / "Sub" / "b.txt"), "bee");

  const auto messages = progress.messages();
  ASSERT_EQ(messages.size(), 2U);
  EXPECT_EQ(messages[0].text, "number of files found inside this folder = 2 .do u want to "
                              "continue dumping these files..?");
  EXPECT_EQ(messages[0].buttons, MessageButtons::YesNo);
  EXPECT_EQ(messages[1].text, "Saving process done");
  EXPECT_EQ(progress.range(), (std::pair<std::uint64_t, std::uint64_t>{0, 2}));
  EXPECT_TRUE(progress.sawStatus("saving File  " + (out.path() / "").string() + "a.txt"));
  const auto second = progress.secondStatuses();
  EXPECT_NE(std::find(second.begin(), second.end(), "File size: 2 kb"), second.end());
  EXPECT_EQ(second.back(), "");
}

TEST(SaveFolder, EntriesWithTheSameNameDoNotOverwriteEachOther) {
  // A live file and a deleted one of the same name in one folder: both are kept.
  FakeBrowser fs;
  const auto docs = fs.folder(-1, "Docs");
  fs.file(docs, "report.txt", "live");
  fs.at(fs.file(docs, "report.txt", "deleted")).deleted = true;
  fs.file(docs, "notes", "one");
  fs.file(docs, "notes", "two");
  TempDir out;
  RecordingProgress progress;
  WorkerControl control;
  const SaveReport report = saveFolder(fs, std::int64_t{docs}, out.path(), progress, control);
  EXPECT_EQ(report.written, 4U);
  EXPECT_EQ(treeBelow(out.path()),
            (std::set<std::string>{"report.txt", "report (2).txt", "notes", "notes (2)"}));
  EXPECT_EQ(readText(out / "report.txt") + readText(out / "report (2).txt"), "livedeleted");
}

TEST(SaveFolder, NoOutputFolderDeclinedAndStoppedSavesWriteNothing) {
  FakeBrowser fs;
  const auto docs = fs.folder(-1, "Docs");
  fs.file(docs, "a.txt", "a");
  TempDir out;
  WorkerControl control;

  RecordingProgress noFolder;
  EXPECT_EQ(saveFolder(fs, std::int64_t{docs}, {}, noFolder, control).status,
            SaveReport::Status::NoOutputFolder);
  ASSERT_EQ(noFolder.messages().size(), 1U);
  EXPECT_EQ(noFolder.messages()[0].text, "select output folder");

  RecordingProgress declined;
  declined.scriptAnswers({MessageAnswer::No});
  EXPECT_EQ(saveFolder(fs, std::int64_t{docs}, out.path(), declined, control).status,
            SaveReport::Status::Declined);
  EXPECT_EQ(declined.messages().size(), 1U);

  // After a Stop the question and the closing text still come, but nothing is written.
  control.requestStop();
  RecordingProgress stopped;
  EXPECT_EQ(saveFolder(fs, std::int64_t{docs}, out.path(), stopped, control).status,
            SaveReport::Status::Stopped);
  ASSERT_EQ(stopped.messages().size(), 2U);
  EXPECT_EQ(stopped.messages()[1].text, "Saving process done");
  EXPECT_TRUE(treeBelow(out.path()).empty());

  // A file, ROOT through the Save button, and a placeholder are not folders to save.
  WorkerControl fresh;
  RecordingProgress none;
  EXPECT_EQ(saveFolder(fs, std::int64_t{2}, out.path(), none, fresh).status,
            SaveReport::Status::NotAFolder);
  ItemTree tree;
  const ItemHandle root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
  const ItemHandle placeholder = tree.insertPlaceholder(root);
  EXPECT_EQ(saveSelectedFolder(fs, tree, root, out.path(), none, fresh).status,
            SaveReport::Status::NotAFolder);
  EXPECT_EQ(saveSelectedFolder(fs, tree, placeholder, out.path(), none, fresh).status,
            SaveReport::Status::NotAFolder);
  EXPECT_TRUE(none.messages().empty());
}

TEST(SaveFolder, AnEmptyFolderStillAsksAndFinishes) {
  FakeBrowser fs;
  const auto empty = fs.folder(-1, "Empty");
  TempDir out;
  RecordingProgress progress;
  WorkerControl control;
  EXPECT_EQ(saveFolder(fs, std::int64_t{empty}, out.path(), progress, control).status,
            SaveReport::Status::Done);
  ASSERT_EQ(progress.messages().size(), 2U);
  EXPECT_NE(progress.messages()[0].text.find("= 0 .do u"), std::string::npos);
}

TEST(SaveFolder, HostileNamesStayInsideTheOutputFolder) {
  FakeBrowser fs;
  const auto up = fs.folder(-1, "..");
  fs.file(up, "../../escape.txt", "x");
  const auto slash = fs.folder(-1, "a/b\\c");
  fs.file(slash, "f.txt", "y");
  const auto nameless = fs.folder(-1, "");
  fs.file(nameless, "loose.txt", "z");
  const auto spaces = fs.folder(-1, "   ");
  fs.file(spaces, "s.txt", "s");

  TempDir work;
  const auto out = work.path() / "out";
  std::filesystem::create_directory(out);
  // A symbolic link planted where a folder goes must not be followed.
  std::filesystem::create_directory(work.path() / "elsewhere");
  std::filesystem::create_directory_symlink(work.path() / "elsewhere", out / "a_b_c");

  RecordingProgress progress;
  WorkerControl control;
  const SaveReport report = saveFolder(fs, ItemData{}, out, progress, control);
  EXPECT_EQ(report.written, 4U);
  EXPECT_TRUE(std::filesystem::is_empty(work.path() / "elsewhere"));
  EXPECT_EQ(treeBelow(work.path()),
            (std::set<std::string>{"elsewhere/", "out/", "out/__/", "out/__/.._.._escape.txt",
                                   "out/a_b_c", "out/a_b_c1/", "out/a_b_c1/f.txt", "out/loose.txt",
                                   "out/___/", "out/___/s.txt"}));
}

TEST(SaveFolder, LoopingAndRunawayFolderChainsEnd) {
  FakeBrowser fs;
  const auto a = fs.folder(-1, "A");
  const auto b = fs.folder(a, "B");
  fs.file(b, "f.txt", "f");
  fs.at(b).children.push_back(a); // B contains A again
  fs.at(a).children.push_back(a); // and A itself
  const std::int64_t top = fs.folder(-1, "D");
  std::int64_t deep = top;
  for (int i = 0; i < 3000; ++i) {
    deep = fs.folder(deep, "d");
  }
  fs.file(deep, "bottom.txt", "b");

  EXPECT_EQ(countFiles(fs, ItemData{}), 1U) << "files below the depth bound are not reached";
  TempDir out;
  RecordingProgress progress;
  WorkerControl control;
  const SaveReport report = saveFolder(fs, std::int64_t{a}, out.path(), progress, control);
  EXPECT_EQ(report.written, 1U);
  EXPECT_EQ(readText(out / "B" / "f.txt"), "f");

  // The runaway chain ends at the depth bound and says so.
  TempDir deepOut;
  const SaveReport deepReport = saveFolder(fs, ItemData{top}, deepOut.path(), progress, control);
  EXPECT_EQ(deepReport.written, 0U);
  ASSERT_EQ(deepReport.failures.size(), 1U);
  EXPECT_NE(deepReport.failures[0].find("folders nest too deep"), std::string::npos);
}

} // namespace
} // namespace quillon::test
