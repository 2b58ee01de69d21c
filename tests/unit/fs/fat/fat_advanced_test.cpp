// The FAT16/FAT32 advanced mode over volumes built in memory: which slots the entry scan takes,
// the table candidates, where found slots land in the tree (root, folder or "ORPHAN ENTRY"),
// and a stop during the scan.
#include "fs/fat/fat16.h"
#include "fs/fat/fat32.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "support/fat_builder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace quillon {
namespace {

using test::FatBuilder;
using test::fatDelete;
using test::fatNamedSlots;
using test::fatShortSlot;
using test::FatSlot;

constexpr std::uint8_t kFile = 0x20;
constexpr std::uint8_t kFolder = 0x10;

FatSlot with(FatSlot slot, std::size_t offset, std::uint8_t value) {
  slot[offset] = value;
  return slot;
}

TEST(FatEntryScan, AcceptanceRules) {
  const FatSlot file = fatShortSlot("REPORT.TXT", kFile, 40, 1000);
  const FatSlot folder = fatShortSlot("DOCS", kFolder, 40, 0);
  FatSlot deletedFolder = fatShortSlot("OLD", kFolder, 40, 4096);
  deletedFolder[0] = 0xE5;
  FatSlot noCreation = file;
  std::fill_n(noCreation.begin() + 13, 7, 0); // tenths, creation time/date, access date
  const FatSlot longName = fatNamedSlots(u"a long name.txt", file).front();
  struct Case {
    const char *what;
    FatSlot slot;
    bool fat16;
    bool fat32;
  };
  const Case cases[] = {
      {"live file", file, true, true},
      {"empty file without a cluster", fatShortSlot("EMPTY.TXT", kFile, 0, 0), true, true},
      {"data without a cluster", fatShortSlot("BAD.TXT", kFile, 0, 10), false, false},
      {"cluster beyond the volume", fatShortSlot("FAR.TXT", kFile, 5000, 10), false, false},
      {"name starting with _", fatShortSlot("_NOTES.TXT", kFile, 40, 10), true, true},
      {"name starting with a space", with(file, 0, ' '), false, false},
      {"lower-case bits", with(file, 12, 0x18), true, true},
      {"other bits in byte 12", with(file, 12, 0x40), false, false},
      {"month 13", fatShortSlot("M.TXT", kFile, 40, 10, 0x5A8C | (13 << 5)), false, false},
      {"minute 60", fatShortSlot("M.TXT", kFile, 40, 10, 0x5A8C, 60 << 5), false, false},
      {"no creation or access time", noCreation, true, true},
      {"hidden system file", with(file, 11, 0x26), true, true},
      {"volume label", fatShortSlot("LABEL", 0x08, 0, 0), false, false},
      {"live folder", folder, true, true},
      {"live folder with a size", with(folder, 28, 1), false, false},
      {"deleted folder with a size", deletedFolder, true, true},
      {"deleted folder without a cluster", with(with(deletedFolder, 26, 0), 20, 0), true, false},
      {"long-name slot", longName, true, true},
      {"long-name slot with a cluster", with(longName, 26, 7), false, false},
      {"long-name slot with sequence 0", with(longName, 0, 0x40), false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(fat::acceptFoundSlot(c.slot, 1000, false), c.fat16);
    EXPECT_EQ(fat::acceptFoundSlot(c.slot, 1000, true), c.fat32);
  }
}

class FatAdvanced : public ::testing::TestWithParam<bool> {
protected:
  [[nodiscard]] bool fat32() const { return GetParam(); }

  // Zeroes the boot sector of the built volume and opens it for the advanced mode.
  void open(FatBuilder &b) {
    std::fill_n(b.image.begin(), 512, 0);
    reader = std::make_unique<MemoryReader>(b.image);
    const VolumeRecord record{fat32() ? "FAT32" : "FAT16", "", "0", "0", 0};
    if (fat32()) {
      volume = std::make_unique<Fat32Class>(*reader, progress, control, record);
    } else {
      volume = std::make_unique<Fat16Class>(*reader, progress, control, record);
    }
  }

  // Paths below record 0 along the links, "*" marking deleted records.
  std::vector<std::string> paths() {
    std::vector<std::string> out;
    std::vector<std::pair<const FatEntry *, std::string>> stack;
    const auto push = [&](const FatEntry &folder, const std::string &prefix) {
      std::vector<const FatEntry *> kids;
      for (const FatEntry *c = folder.firstChild; c != nullptr; c = c->nextSibling) {
        kids.push_back(c);
      }
      for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
        stack.emplace_back(*it, prefix);
      }
    };
    push(volume->entries.at(0), "");
    while (!stack.empty()) {
      auto [e, prefix] = stack.back();
      stack.pop_back();
      out.push_back(prefix + e->name + (e->deleted != 0 ? "*" : ""));
      push(*e, prefix + e->name + "/");
    }
    return out;
  }

  std::unique_ptr<MemoryReader> reader;
  RecordingProgress progress;
  WorkerControl control;
  std::unique_ptr<fat::FatVolume> volume;
};

TEST_P(FatAdvanced, BuildsTheTreeAndGathersUnclaimedSlotsAsOrphans) {
  FatBuilder b(fat32());
  // Root (two clusters on FAT32) with a long-named file and a folder whose subfolder lies in a
  // lower cluster than the folder itself.
  std::vector<FatSlot> root{fatShortSlot("FILE.TXT", kFile, 0, 0)};
  for (int i = 0; i < 14; ++i) {
    root.push_back(fatShortSlot("R" + std::to_string(i) + ".BIN", kFile, 0, 0));
  }
  const auto named = fatNamedSlots(u"Annual report.pdf", fatShortSlot("ANNUAL~1.PDF", kFile, 0, 0));
  root.insert(root.end(), named.begin(), named.end());
  root.push_back(fatShortSlot("TOP", kFolder, 20, 0));
  b.writeRoot(root, {2, 3});
  b.writeFolder({20}, 0, {fatShortSlot("SUB", kFolder, 8, 0)});
  b.writeFolder({8}, 20, {fatShortSlot("DEEP.TXT", kFile, 0, 0)});
  // A folder cluster that no folder points to any more (its parent's slot was overwritten),
  // holding folder Q, whose own cluster comes earlier in the volume.
  b.writeFolder({30}, 0, {fatShortSlot("Q", kFolder, 12, 0)});
  auto gone = fatNamedSlots(u"gone but named.txt", fatShortSlot("GONEBU~1.TXT", kFile, 0, 0));
  fatDelete(gone);
  b.writeFolder({12}, 30, gone);
  for (const std::uint32_t c : {20U, 8U, 30U, 12U}) {
    b.setFat(c, b.endMark());
  }
  open(b);
  EXPECT_EQ(volume->findFatCandidates(0).size(), 2U);
  ASSERT_TRUE(volume->advancedScan(0, 1));
  std::vector<std::string> expected{"ORPHAN ENTRY", "ORPHAN ENTRY/gone but named.txt*",
                                    "ORPHAN ENTRY/Q", "FILE.TXT"};
  for (int i = 0; i < 14; ++i) {
    expected.push_back("R" + std::to_string(i) + ".BIN");
  }
  expected.insert(expected.end(), {"Annual report.pdf", "TOP", "TOP/SUB", "TOP/SUB/DEEP.TXT"});
  // Root records follow the orphans' folder in the table; the order of the top level is the
  // table's order.
  std::vector<std::string> got = paths();
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(volume->advancedDataStart, b.clusterOffset(2));
  EXPECT_EQ(progress.statuses().back(), fat32() ? "Maintaining TreeStructure for Tree Control"
                                                : "Maintaining Tree Structure for Tree Control");
}

TEST_P(FatAdvanced, CandidatesStopAtTheMaximum) {
  FatBuilder b(fat32());
  // Three more sectors that begin like a table.
  const std::vector<std::uint8_t> sig =
      fat32() ? std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF}
              : std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, 0xFF};
  for (const std::uint32_t c : {50U, 60U, 70U}) {
    std::copy(sig.begin(), sig.end(), b.image.begin() + static_cast<long>(b.clusterOffset(c)));
  }
  open(b);
  EXPECT_EQ(volume->findFatCandidates(0).size(), 3U);
  EXPECT_EQ(volume->findFatCandidates(10).size(), 5U);
  EXPECT_EQ(volume->findFatCandidates(1).size(), 1U);
  EXPECT_EQ(progress.statuses().back(), "found fat entry  1 ");
  EXPECT_FALSE(volume->advancedScan(1, 1)); // only one candidate is known now
  EXPECT_FALSE(volume->advancedScan(0, 0)); // no cluster size
}

// Stops the scan once it has passed its first chunk.
class StopAfterFirstChunk final : public Progress {
public:
  explicit StopAfterFirstChunk(WorkerControl &control) : control_(control) {}
  void setSecondStatus(std::string_view) override {}
  void setRange(std::uint64_t, std::uint64_t) override {}
  void setPosition(std::uint64_t) override {}
  MessageAnswer message(std::string_view, std::string_view, MessageIcon, MessageButtons) override {
    return MessageAnswer::Ok;
  }
  void setStatus(std::string_view text) override {
    if (text.starts_with("currently at sector") || text.starts_with("found file or directory")) {
      control_.requestStop();
    }
  }

private:
  WorkerControl &control_;
};

TEST_P(FatAdvanced, StopDuringTheScanStillBuildsFromWhatWasFound) {
  FatBuilder b(fat32(), 16384); // 8 MiB of clusters: the scan reads it in two chunks
  b.writeRoot({fatShortSlot("EARLY", kFolder, 10, 0)});
  b.writeFolder({10}, 0, {fatShortSlot("A.TXT", kFile, 0, 0)});
  b.writeFolder({14000}, 0, {fatShortSlot("LATE.TXT", kFile, 0, 0)});
  b.setFat(10, b.endMark());
  std::fill_n(b.image.begin(), 512, 0);
  MemoryReader r(b.image);
  StopAfterFirstChunk stopper(control);
  const VolumeRecord record{"", "", "0", "0", 0};
  std::unique_ptr<fat::FatVolume> v;
  if (fat32()) {
    v = std::make_unique<Fat32Class>(r, stopper, control, record);
  } else {
    v = std::make_unique<Fat16Class>(r, stopper, control, record);
  }
  ASSERT_EQ(v->findFatCandidates(1).size(), 1U);
  ASSERT_TRUE(v->advancedScan(0, 1));
  std::vector<std::string> names;
  for (const FatEntry &e : v->entries) {
    names.push_back(e.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"DUMMY ENTRY", "ORPHAN ENTRY", "EARLY", "A.TXT"}));
}

INSTANTIATE_TEST_SUITE_P(Fat, FatAdvanced, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Fat32" : "Fat16"; });

} // namespace
} // namespace quillon
