// The raw recovery page's steps: Parse and the cases that start no scan, the default file
// loaded by both loaders, the worker, Stop / Pause / Resume, and Save across runs.
#include "carving/raw_recovery.h"
#include "carving/signature_file.h"
#include "carving_fixtures.h"
#include "core/progress.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using test::kJpegStart;
using test::VolumeImage;

constexpr std::uint64_t kMiB = 1 << 20;

class RawRecoveryPage : public ::testing::Test {
protected:
  void SetUp() override {
    SignatureFileWriter writer;
    ASSERT_TRUE(writer.chooseSignatureFile(defaults_, quiet_));
    SignatureFields f;
    f.extension = "jpg";
    f.startSignature = "FF,D8,FF";
    f.approxSize = "2000";
    f.category = "Images";
    ASSERT_TRUE(writer.appendSignatureRecord(f, quiet_));
    f.extension = "png";
    f.startSignature = "89,50,4E,47";
    ASSERT_TRUE(writer.appendSignatureRecord(f, quiet_));
  }

  RawParseInput input(bool loadDefault, std::string path, std::uint64_t volumeBytes = kMiB) {
    return {loadDefault, defaults_, std::move(path), volumeBytes};
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto &m : progress_.messages()) {
      out.push_back(m.text);
    }
    return out;
  }

  test::TempDir dir_;
  std::filesystem::path defaults_ = dir_ / "FileSetting.txt";
  RecordingProgress quiet_;
  RecordingProgress progress_;
  RawRecovery page_;
};

TEST_F(RawRecoveryPage, ParseStartsNoScanWhenItHasNothingToScanWith) {
  struct Case {
    const char *name;
    RawParseInput in;
    std::vector<std::string> messages;
  };
  const std::vector<Case> cases = {
      {"missing chosen file",
       input(false, (dir_ / "absent.txt").string()),
       {"Cannot open the selected file"}},
      {"no signatures at all", input(false, ""), {kNoSignaturesText}},
      {"missing default file", {true, dir_ / "absent.txt", "", kMiB}, {kNoSignaturesText}},
      {"zero size volume", input(true, "", 0), {"zero size volume.."}},
      {"no default path", {true, "", defaults_.string(), kMiB}, {"enter the info file first.."}},
  };
  for (const Case &c : cases) {
    RawRecovery page;
    RecordingProgress progress;
    EXPECT_FALSE(page.parseSignatures(c.in, progress)) << c.name;
    std::vector<std::string> messages;
    for (const auto &m : progress.messages()) {
      messages.push_back(m.text);
    }
    EXPECT_EQ(messages, c.messages) << c.name;
    EXPECT_EQ(progress.statuses(), std::vector<std::string>{"Processing done"}) << c.name;
  }
}

TEST_F(RawRecoveryPage, TheStartStateLoadsTheDefaultFileTwiceWithTheSameFinds) {
  ASSERT_TRUE(page_.parseSignatures(input(true, defaults_.string()), progress_));
  ASSERT_EQ(page_.engine->rules.size(), 4U);
  VolumeImage image(kMiB);
  image.put(0, kJpegStart).put(4096, {0x89, 0x50, 0x4E, 0x47});
  MemoryBytes bytes = image.memory();
  ItemTree tree;
  page_.carvingWorker(tree, bytes, progress_);
  ASSERT_EQ(page_.engine->results.size(), 2U);
  EXPECT_EQ(page_.engine->results[0].rule, 0U); // the first copy matched
  EXPECT_EQ(page_.engine->results[1].rule, 1U);
  EXPECT_EQ(tree.text(tree.children(page_.engine->topItem).at(0)), "Images (2)");
  EXPECT_EQ(texts(), std::vector<std::string>{"done.."});
  EXPECT_EQ(progress_.statuses().back(), "Processing done");
}

TEST_F(RawRecoveryPage, StopPauseAndResume) {
  page_.pause(progress_); // no worker yet: nothing happens
  page_.resume(progress_);
  EXPECT_TRUE(progress_.statuses().empty());
  EXPECT_EQ(page_.control.pauseCount(), 0);

  page_.stop(progress_);
  EXPECT_EQ(progress_.statuses().back(), "Stop button pressed.Please wait for the process to stop");
  // The next Parse is a new run: the earlier stop does not end it.
  ASSERT_TRUE(page_.parseSignatures(input(true, ""), progress_));
  EXPECT_FALSE(page_.control.stopRequested());
  VolumeImage image(kMiB);
  image.put(0, kJpegStart);
  MemoryBytes bytes = image.memory();
  ItemTree tree;
  page_.carvingWorker(tree, bytes, progress_);
  EXPECT_EQ(page_.engine->results.size(), 1U);

  page_.pause(progress_);
  EXPECT_EQ(progress_.statuses().back(), "Pause button pressed");
  page_.resume(progress_);
  EXPECT_EQ(progress_.statuses().back(), "Resume button pressed");
  EXPECT_EQ(page_.control.pauseCount(), 0);
}

TEST_F(RawRecoveryPage, SaveWritesTheFindsOfTheRunThatListedThem) {
  VolumeImage image(kMiB);
  image.put(0, kJpegStart).put(8192, kJpegStart);
  MemoryBytes bytes = image.memory();
  ItemTree tree;
  test::TempDir out;
  EXPECT_EQ(page_.save(tree, kNoItem, bytes, out.path(), progress_).written, 0U);
  EXPECT_EQ(texts().back(), "Please Select item from tree to save");

  ASSERT_TRUE(page_.parseSignatures(input(true, ""), progress_));
  page_.carvingWorker(tree, bytes, progress_);
  const ItemHandle firstRun = page_.engine->topItem;
  // A second Parse with the defaults makes a new engine whose run finds something else.
  ASSERT_TRUE(page_.parseSignatures(input(true, "", 4096), progress_));
  page_.carvingWorker(tree, bytes, progress_);
  EXPECT_EQ(page_.engine->results.size(), 1U);

  const FindWriteReport report = page_.save(tree, firstRun, bytes, out.path(), progress_);
  EXPECT_EQ(report.written, 2U);
  EXPECT_EQ(texts().back(), "Saving process done");
  const auto saved = test::readFileBytes(out / "Images" / "8192 .jpg");
  ASSERT_EQ(saved.size(), 2000U);
  EXPECT_TRUE(std::equal(kJpegStart.begin(), kJpegStart.end(), saved.begin()));
}

} // namespace
} // namespace quillon
