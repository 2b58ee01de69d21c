// exFAT advanced mode: the table and heap candidates (their counts and the boot sector's heap
// first), the entry scan's acceptance of sets, the table built from found sets (folders claim
// what follows them, sets before their folder stay where they were put, orphans), the heap
// offset the up-case table gives, a stop during the scan, and a real volume without its boot
// sector.
#include "browse/exfat_browser.h"
#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/fat/exfat.h"
#include "support/exfat_builder.h"
#include "support/file_util.h"
#include "support/table_path.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace quillon {
namespace {

using test::ExFatBuilder;
using test::exFatEntrySet;
using test::ExFatSetLayout;

std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto &p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<std::uint8_t>((i * 13 + seed * 5 + i / 509) & 0xFF);
  }
  return data;
}

ExFatSetLayout fileSet(std::u16string name, std::uint32_t cluster = 0, std::uint64_t size = 0) {
  ExFatSetLayout s;
  s.name = std::move(name);
  s.firstCluster = cluster;
  s.validDataLength = size;
  s.dataLength = size;
  return s;
}

ExFatSetLayout folderSet(std::u16string name, std::uint32_t cluster, std::uint64_t size) {
  ExFatSetLayout s = fileSet(std::move(name), cluster, size);
  s.attributes = 0x10;
  return s;
}

void zeroSector(std::vector<std::uint8_t> &image, std::uint64_t sector) {
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(sector * 512), 512, 0);
}

// Requests a stop when a given status line is shown.
class StopOnStatus final : public Progress {
public:
  StopOnStatus(WorkerControl &control, std::string trigger)
      : control_(control), trigger_(std::move(trigger)) {}
  void setStatus(std::string_view text) override {
    if (text == trigger_) {
      control_.requestStop();
    }
  }
  void setSecondStatus(std::string_view) override {}
  void setRange(std::uint64_t, std::uint64_t) override {}
  void setPosition(std::uint64_t) override {}
  MessageAnswer message(std::string_view text, std::string_view, MessageIcon,
                        MessageButtons) override {
    messages.emplace_back(text);
    return MessageAnswer::Ok;
  }
  std::vector<std::string> messages;

private:
  WorkerControl &control_;
  std::string trigger_;
};

struct Harness {
  explicit Harness(std::vector<std::uint8_t> image, std::string sizeText = "1")
      : reader(std::move(image)),
        parser(reader, progress, control, VolumeRecord{"FAT64", "", "0", std::move(sizeText), 0}) {}

  // The advanced input page's search and the scan page's advanced worker.
  bool advanced(unsigned shift, std::int64_t maximum = 3) {
    parser.runCandidateSearch(maximum);
    return parser.runAdvancedScan(0, shift);
  }

  [[nodiscard]] std::string path(const ExFatEntry &e) const {
    return test::tablePath(parser.entries, e);
  }
  [[nodiscard]] std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (std::size_t i = 1; i < parser.entries.size(); ++i) {
      out.push_back(path(parser.entries[i]));
    }
    return out;
  }

  MemoryReader reader;
  RecordingProgress progress;
  WorkerControl control;
  Fat64Class parser;
};

TEST(ExFatAdvancedScan, AcceptsOnlyCompleteSetsThatMayHoldData) {
  struct Case {
    std::string what;
    ExFatSetLayout set;
    bool accepted;
  };
  const auto with = [](auto change) {
    ExFatSetLayout s = fileSet(u"probe.txt", 9, 100);
    change(s);
    return s;
  };
  const std::u16string twenty = u"twenty-unit-name.txt";
  const std::vector<Case> cases = {
      {"flags 1", with([](ExFatSetLayout &) {}), true},
      {"flags 3 (no chain)", with([](ExFatSetLayout &s) { s.flags = 3; }), true},
      {"flags 0", with([](ExFatSetLayout &s) { s.flags = 0; }), false},
      {"deleted set", with([](ExFatSetLayout &s) { s.deleted = true; }), true},
      {"hidden system file", with([](ExFatSetLayout &s) { s.attributes = 0x26; }), true},
      {"attribute bit 0x40", with([](ExFatSetLayout &s) { s.attributes = 0x60; }), false},
      {"NameLength 20, two name entries", with([&](ExFatSetLayout &s) { s.name = twenty; }), true},
      {"NameLength 20, one name entry", with([&](ExFatSetLayout &s) {
         s.name = twenty;
         s.nameEntries = 1;
       }),
       false},
      {"no stream extension", with([](ExFatSetLayout &s) { s.withStream = false; }), false},
  };
  for (const Case &c : cases) {
    ExFatBuilder b;
    std::vector<std::uint8_t> root = b.systemEntries();
    const std::uint32_t rootCluster =
        b.setRoot(join({root, exFatEntrySet(c.set), exFatEntrySet(fileSet(u"next.txt"))}));
    Harness h(b.image());
    ASSERT_TRUE(h.advanced(0)) << c.what;
    const std::uint64_t at = b.clusterOffset(rootCluster) + root.size();
    const bool found = std::find(h.parser.entryPositions.begin(), h.parser.entryPositions.end(),
                                 at) != h.parser.entryPositions.end();
    EXPECT_EQ(found, c.accepted) << c.what;
    // The set that follows is found whatever became of this one.
    const std::vector<std::string> paths = h.paths();
    EXPECT_NE(std::find(paths.begin(), paths.end(), "next.txt"), paths.end()) << c.what;
  }
}

// A set found inside a folder whose own set came earlier is that folder's child, once; a set
// that comes before its folder's set stays where the builder put it (at the root level up to a
// cluster past the label, else under ORPHAN ENTRY) and ends that folder's walk. The root
// directory's later clusters are root level too.
TEST(ExFatAdvancedBuild, FoldersClaimWhatFollowsTheirSetAndOrphansGatherTheRest) {
  ExFatBuilder b;
  const std::vector<std::uint8_t> system = b.systemEntries();
  const std::uint32_t early = b.store(exFatEntrySet(fileSet(u"early.txt")));
  // The root spans two clusters with a free one between them; the folders it names follow it.
  const std::uint32_t rootCluster = b.store(std::vector<std::uint8_t>(1024, 0), false, true);
  b.setBootField(96, rootCluster, 4);
  const std::uint32_t docs = b.store(
      join({exFatEntrySet(fileSet(u"inside.txt")), exFatEntrySet(folderSet(u"Sub", 0, 0))}));
  b.writeAt(b.clusterOffset(rootCluster),
            join({system, exFatEntrySet(folderSet(u"E", early, 512)),
                  exFatEntrySet(folderSet(u"Docs", docs, 512)), exFatEntrySet(fileSet(u"a.txt"))}));
  b.writeAt(b.clusterOffset(rootCluster + 2), exFatEntrySet(fileSet(u"second-root-cluster.txt")));
  // A folder's contents, then a stray directory cluster that holds the folder's set.
  const std::uint32_t lostContents = b.store(exFatEntrySet(fileSet(u"lost-child.txt")));
  b.store(exFatEntrySet(folderSet(u"L", lostContents, 512)));
  std::vector<std::uint8_t> image = b.image();
  zeroSector(image, 0);

  Harness h(image);
  ASSERT_TRUE(h.advanced(0));
  EXPECT_EQ(h.parser.entries.at(0).name, "DUMMY ENTRY");
  EXPECT_EQ(h.paths(),
            (std::vector<std::string>{"ORPHAN ENTRY", "early.txt", "E", "Docs", "Docs/inside.txt",
                                      "Docs/Sub", "a.txt", "second-root-cluster.txt",
                                      "ORPHAN ENTRY/lost-child.txt", "ORPHAN ENTRY/L"}));
  const ExFatEntry &orphan = h.parser.entries.at(1);
  EXPECT_EQ(orphan.attributes, 0x10);
  EXPECT_EQ(orphan.selfIndex, 1U);
  EXPECT_EQ(orphan.parentIndex, 0U);

  ExFatBrowser browser(h.parser);
  EXPECT_EQ(browser.orphanFolder(), std::optional<ItemData>(std::int64_t{1}));
  EXPECT_EQ(h.progress.messages().back().text, "Scanning process completed...");
  EXPECT_TRUE(h.progress.sawStatus("Maintaining TreeStructure for Tree Control"));
  EXPECT_TRUE(h.progress.sawStatus("found Entry 9 "));
}

TEST(ExFatAdvancedCandidates, CountsFollowTheMaximumAndTheBootSectorsHeapComesFirst) {
  ExFatBuilder b(96);
  b.writeBackupBootSector();
  const std::vector<std::uint8_t> tableStart = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const std::vector<std::uint8_t> ones(8, 0xFF);
  for (std::uint32_t c = 40; c < 45; ++c) {
    b.writeAt(b.clusterOffset(c), tableStart);
    b.writeAt(b.clusterOffset(c + 10), ones);
  }
  b.writeAt(5 * 512, ones); // before the heap: the first all-0xFF sector of the volume
  const std::uint64_t fat = b.fatOffset();
  const std::uint64_t heap = b.heapOffset();
  const auto at = [&](std::uint32_t c) { return b.clusterOffset(c); };

  struct Case {
    std::string what;
    std::vector<std::uint64_t> zeroed; // boot sectors wiped
    std::int64_t maximum;
    std::vector<std::uint64_t> tables;
    std::vector<std::uint64_t> heaps;
  };
  const std::vector<Case> cases = {
      {"maximum 3", {}, 3, {fat, at(40), at(41)}, {heap, 2560, at(50), at(51)}},
      {"maximum 0 means 3", {}, 0, {fat, at(40), at(41)}, {heap, 2560, at(50), at(51)}},
      {"negative means 3", {}, -4, {fat, at(40), at(41)}, {heap, 2560, at(50), at(51)}},
      {"maximum 1", {}, 1, {fat}, {heap, 2560}},
      {"backup boot sector", {0}, 3, {fat, at(40), at(41)}, {heap, 2560, at(50), at(51)}},
      {"no boot sector", {0, 12}, 3, {fat, at(40), at(41)}, {2560, at(50), at(51), at(52)}},
  };
  for (const Case &c : cases) {
    std::vector<std::uint8_t> image = b.image();
    for (const std::uint64_t s : c.zeroed) {
      zeroSector(image, s);
    }
    Harness h(image);
    h.parser.runCandidateSearch(c.maximum);
    EXPECT_EQ(h.parser.fatCandidates, c.tables) << c.what;
    EXPECT_EQ(h.parser.heapCandidates, c.heaps) << c.what;
    EXPECT_EQ(h.progress.sawStatus("found fat entry  1 "), true) << c.what;
    // The boot sector (or its backup) also names the cluster size to offer first.
    const std::vector<unsigned> shifts = h.parser.offeredClusterShifts();
    EXPECT_EQ(shifts.size(), c.zeroed.size() == 2 ? 4U : 5U) << c.what;
    EXPECT_EQ(shifts.back(), 11U) << c.what;
  }
}

// Without either boot sector and with a bitmap that does not start with 0xFF bytes, the up-case
// table's entry and data give the heap; a sector that only starts like the table (its checksum
// does not match) gives nothing.
TEST(ExFatAdvancedScan, UpcaseTableGivesTheHeapWhenNoBootSectorDoes) {
  ExFatBuilder b;
  const std::vector<std::uint8_t> system = b.systemEntries();
  std::vector<std::uint8_t> decoy = pattern(600, 1);
  for (std::size_t i = 0; i < 8; ++i) {
    decoy[i] = static_cast<std::uint8_t>(i % 2 == 0 ? i / 2 : 0);
  }
  const std::uint32_t decoyCluster = b.store(decoy);
  const std::vector<std::uint8_t> data = pattern(1500, 2);
  const std::uint32_t dataCluster = b.store(data, false, true);
  b.setRoot(join({system, exFatEntrySet(fileSet(u"decoy.bin", decoyCluster, decoy.size())),
                  exFatEntrySet(fileSet(u"data.bin", dataCluster, data.size()))}));
  std::vector<std::uint8_t> image = b.image();
  zeroSector(image, 0);

  Harness h(image);
  h.parser.runCandidateSearch(3);
  EXPECT_TRUE(h.parser.heapCandidates.empty());
  ASSERT_TRUE(h.parser.runAdvancedScan(0, 0));
  EXPECT_EQ(h.parser.heapCandidates, std::vector<std::uint64_t>{b.heapOffset()});
  // A heap chosen by hand is one of the list the search showed, which held none.
  EXPECT_FALSE(h.parser.runAdvancedScan(0, 0, 0));
  ASSERT_TRUE(h.parser.runAdvancedScan(0, 0));
  EXPECT_EQ(h.parser.heapCandidates, std::vector<std::uint64_t>{b.heapOffset()});
  EXPECT_EQ(h.paths(), (std::vector<std::string>{"ORPHAN ENTRY", "decoy.bin", "data.bin"}));

  test::TempDir dir;
  std::string error;
  const auto saved = h.parser.saveEntryFile(h.parser.entries.at(3), dir.path(), &error);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(error, "");
  EXPECT_EQ(test::readFileBytes(*saved), data);
}

TEST(ExFatAdvancedScan, StopDuringTheScanStillBuildsFromWhatWasFound) {
  ExFatBuilder b;
  const std::vector<std::uint8_t> system = b.systemEntries();
  const std::uint32_t root = b.setRoot(join({system, exFatEntrySet(fileSet(u"a.txt"))}));
  const std::uint32_t inB = b.store(exFatEntrySet(fileSet(u"in-b.txt")));
  b.writeAt(b.clusterOffset(root) + system.size() + 96, exFatEntrySet(folderSet(u"B", inB, 512)));
  b.store(exFatEntrySet(fileSet(u"stray.txt")));

  for (const bool stop : {false, true}) {
    MemoryReader reader(b.image());
    WorkerControl control;
    StopOnStatus progress(control, stop ? "found Entry 2 " : "never");
    Fat64Class parser(reader, progress, control, VolumeRecord{"FAT64", "", "0", "1", 0});
    parser.runCandidateSearch(3);
    ASSERT_TRUE(parser.runAdvancedScan(0, 0)) << stop;
    std::vector<std::string> names;
    for (std::size_t i = 2; i < parser.entries.size(); ++i) {
      names.push_back(parser.entries[i].name);
    }
    // B's walk still runs after the stop; the stray set lies past where the scan stopped.
    std::vector<std::string> expected = {"a.txt", "B", "in-b.txt"};
    if (!stop) {
      expected.emplace_back("stray.txt");
    }
    EXPECT_EQ(names, expected);
    EXPECT_EQ(progress.messages, std::vector<std::string>{"Scanning process completed..."});
  }
}

TEST(ExFatAdvancedScan, NoTableCandidateBuildsNothing) {
  ExFatBuilder b;
  b.setRoot(join({b.systemEntries(), exFatEntrySet(fileSet(u"a.txt"))}));
  std::vector<std::uint8_t> image = b.image();
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(b.fatOffset()), 8, 0);
  Harness h(image);
  EXPECT_FALSE(h.advanced(0));
  EXPECT_TRUE(h.parser.entries.empty());
  EXPECT_EQ(h.progress.messages().back().text, "Scanning process completed...");
}

// The volume made by mkfs.exfat (tests/fixtures/make_exfat.sh) with its boot sector wiped (the
// backup boot sector gives the heap), and with its backup boot sector wiped too (the up-case
// table gives the heap, or the user picks it among the candidates shown): every file of the
// manifest is found at its path, the deleted ones too, and files are saved byte-identical.
TEST(ExFatAdvancedVolume, FindsEveryFileOfARealVolumeWithoutItsBootSector) {
  test::TempDir dir;
  const std::filesystem::path fixture =
      std::filesystem::path(__FILE__).parent_path() / "../../../fixtures/exfat.tar.xz";
  const std::string cmd = "tar -xJf '" + fixture.string() + "' -C '" + dir.path().string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::vector<std::uint8_t> original = test::readFileBytes(dir / "exfat.img");

  struct Expected {
    std::uint64_t size = 0;
    std::string hash;
  };
  std::map<std::string, Expected> files;
  std::vector<std::string> deletedPaths;
  std::ifstream manifest(dir / "manifest.tsv");
  std::string line;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string kind, hexPath, path;
    fields >> kind >> hexPath;
    for (std::size_t i = 0; i + 1 < hexPath.size(); i += 2) {
      path.push_back(static_cast<char>(std::stoi(hexPath.substr(i, 2), nullptr, 16)));
    }
    if (kind == "deleted") {
      deletedPaths.push_back(path);
    } else {
      fields >> files[path].size >> files[path].hash;
    }
  }
  ASSERT_EQ(files.size(), 155U);

  struct Case {
    bool backupToo;
    std::optional<std::size_t> heapByHand;
  };
  // By hand: the third heap candidate shown, the first sector of the (well-filled) bitmap.
  for (const Case &c : {Case{false, std::nullopt}, Case{true, std::nullopt}, Case{true, 2}}) {
    const bool backupToo = c.backupToo;
    std::vector<std::uint8_t> image = original;
    zeroSector(image, 0);
    if (backupToo) {
      zeroSector(image, 12);
    }
    Harness h(image, "8");
    h.parser.runCandidateSearch(0);
    const unsigned shift = h.parser.offeredClusterShifts().front();
    EXPECT_EQ(shift, backupToo ? 8U : 3U); // only the backup boot sector knows the cluster size
    if (c.heapByHand) {
      ASSERT_EQ(h.parser.heapCandidates.at(*c.heapByHand), 2U << 20);
    }
    ASSERT_TRUE(h.parser.runAdvancedScan(0, 3, c.heapByHand)) << backupToo;
    ASSERT_EQ(h.parser.heapCandidates.at(0), 2U << 20) << backupToo;

    std::map<std::string, const ExFatEntry *> live;
    std::set<std::string> deleted;
    for (std::size_t i = 2; i < h.parser.entries.size(); ++i) {
      const ExFatEntry &e = h.parser.entries[i];
      if (e.deleted()) {
        deleted.insert(h.path(e));
      } else {
        EXPECT_TRUE(live.emplace(h.path(e), &e).second) << "listed twice: " << h.path(e);
      }
    }
    for (const auto &[path, expected] : files) {
      EXPECT_EQ(live.count(path), 1U) << path << (backupToo ? " (no backup)" : "");
    }
    for (const std::string &path : deletedPaths) {
      EXPECT_EQ(deleted.count(path), 1U) << path;
    }
    EXPECT_TRUE(h.parser.children(h.parser.entries.at(1)).empty()) << "nothing is orphaned";

    // A fragmented file read through the table candidate, and a contiguous one.
    for (const std::string &path : {std::string("frag.bin"), std::string("Docs/Nested/deep.bin")}) {
      ASSERT_EQ(live.count(path), 1U) << path;
      test::TempDir out;
      std::string error;
      const auto saved = h.parser.saveEntryFile(*live[path], out.path(), &error);
      ASSERT_TRUE(saved.has_value()) << path;
      EXPECT_EQ(error, "") << path;
      const std::vector<std::uint8_t> bytes = test::readFileBytes(*saved);
      std::uint64_t fnv = 0xcbf29ce484222325ULL;
      for (const std::uint8_t v : bytes) {
        fnv = (fnv ^ v) * 0x100000001b3ULL;
      }
      EXPECT_EQ(bytes.size(), files[path].size) << path;
      EXPECT_EQ(format("%016llx", static_cast<unsigned long long>(fnv)), files[path].hash) << path;
    }
  }
}

} // namespace
} // namespace quillon
