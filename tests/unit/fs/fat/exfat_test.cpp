// exFAT standard mode: entry sets (live and deleted, long names cut at NameLength), the walk of
// the root and of folders through chains and contiguous runs, hostile chains and cluster
// numbers, the list texts, and saving data with its times.
#include "fs/fat/exfat.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "support/exfat_builder.h"
#include "support/file_util.h"
#include "support/table_path.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace quillon {
namespace {

using test::ExFatBuilder;
using test::exFatEntrySet;
using test::exFatRootHeader;
using test::ExFatSetLayout;
using test::exFatStamp;

struct Harness {
  explicit Harness(std::vector<std::uint8_t> image)
      : reader(std::move(image)),
        parser(reader, progress, control, VolumeRecord{"FAT64", "", "0", "1", 0}) {}

  bool scan() { return parser.runStandardScan(); }

  // Path of a record from the root, joined with '/'.
  [[nodiscard]] std::string path(const ExFatEntry &e) const {
    return test::tablePath(parser.entries, e);
  }
  [[nodiscard]] std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (std::size_t i = 1; i < parser.entries.size(); ++i) {
      out.push_back(path(parser.entries[i]) + (parser.entries[i].deleted() ? " (deleted)" : ""));
    }
    return out;
  }
  [[nodiscard]] const ExFatEntry *find(const std::string &name) const {
    for (std::size_t i = 1; i < parser.entries.size(); ++i) {
      if (parser.entries[i].name == name) {
        return &parser.entries[i];
      }
    }
    return nullptr;
  }

  MemoryReader reader;
  RecordingProgress progress;
  WorkerControl control;
  Fat64Class parser;
};

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<std::uint8_t>((i * 31 + seed * 7 + i / 251) & 0xFF);
  }
  return data;
}

std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto &p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

ExFatSetLayout fileSet(std::u16string name, std::uint32_t cluster, std::uint64_t size,
                       std::uint8_t flags = 0x01) {
  ExFatSetLayout s;
  s.name = std::move(name);
  s.firstCluster = cluster;
  s.validDataLength = size;
  s.dataLength = size;
  s.flags = flags;
  return s;
}

ExFatSetLayout folderSet(std::u16string name, std::uint32_t cluster, std::uint64_t size,
                         std::uint8_t flags = 0x01) {
  ExFatSetLayout s = fileSet(std::move(name), cluster, size, flags);
  s.attributes = 0x10;
  return s;
}

TEST(ExFatScan, ListsLiveAndDeletedSetsInTreeOrder) {
  ExFatBuilder b;
  const std::uint32_t a = b.store(pattern(700, 1), false, true);
  const std::uint32_t inner = b.store(pattern(10, 2));
  ExFatSetLayout gone = fileSet(u"gone.bin", 40, 100);
  gone.deleted = true;
  const auto docs = join({exFatEntrySet(fileSet(u"inner.txt", inner, 10)), exFatEntrySet(gone)});
  const std::uint32_t docsCluster = b.store(docs);
  ExFatSetLayout oldDir = folderSet(u"old", 50, 512);
  oldDir.deleted = true;
  b.setRoot(join({exFatRootHeader(), exFatEntrySet(fileSet(u"a.txt", a, 700)),
                  exFatEntrySet(folderSet(u"Docs", docsCluster, b.clusterSize())),
                  exFatEntrySet(oldDir)}));
  Harness h(b.image());
  ASSERT_TRUE(h.scan());

  EXPECT_EQ(h.parser.entries.at(0).name, "DUMMY ENTRY");
  EXPECT_EQ(h.paths(), (std::vector<std::string>{"a.txt", "Docs", "Docs/inner.txt",
                                                 "Docs/gone.bin (deleted)", "old (deleted)"}));
  ASSERT_TRUE(h.parser.bitmapEntryPosition.has_value());
  EXPECT_EQ(*h.parser.bitmapEntryPosition, 0U);

  // The root's children hang under record 0 and never include it.
  std::vector<std::string> top;
  for (const ExFatEntry *c : h.parser.children(h.parser.entries[0])) {
    top.push_back(c->name);
  }
  EXPECT_EQ(top, (std::vector<std::string>{"a.txt", "Docs", "old"}));
  std::vector<std::string> inDocs;
  for (const ExFatEntry *c : h.parser.children(*h.find("Docs"))) {
    inDocs.push_back(c->name);
  }
  EXPECT_EQ(inDocs, (std::vector<std::string>{"inner.txt", "gone.bin"}));

  const ExFatEntry *g = h.find("gone.bin");
  EXPECT_EQ(g->streamType, 0x40);
  EXPECT_EQ(g->validDataLength, 100U);
  EXPECT_TRUE(h.progress.sawStatus("Finding Fat64 File And Directory entries recursively...."));
  EXPECT_TRUE(h.progress.sawStatus("Processing done..."));
  ASSERT_EQ(h.progress.messages().size(), 1U);
  EXPECT_EQ(h.progress.messages()[0].text, "done...");
}

TEST(ExFatScan, RefusesOtherVolumesAndAnUnusableRoot) {
  ExFatBuilder b;
  b.setRoot(exFatRootHeader());
  std::vector<std::uint8_t> notExFat = b.image();
  notExFat[3] = 'N';
  Harness bad(notExFat);
  EXPECT_FALSE(bad.scan());
  ASSERT_EQ(bad.progress.messages().size(), 1U);
  EXPECT_EQ(bad.progress.messages()[0].text, "Selected Drive is not in exFat Format");

  b.setBootField(96, 5000, 4); // root cluster beyond the heap
  Harness noRoot(b.image());
  EXPECT_FALSE(noRoot.scan());
  ASSERT_EQ(noRoot.progress.messages().size(), 1U);
  EXPECT_EQ(noRoot.progress.messages()[0].text, "error...");
}

TEST(ExFatScan, FolderSetsSharingAClusterAreOneFolderAndTheLiveSetWins) {
  ExFatBuilder b;
  const std::uint32_t inner = b.store(exFatEntrySet(fileSet(u"inside", 0, 0)));
  const std::uint32_t other = b.store(exFatEntrySet(fileSet(u"inside2", 0, 0)));
  ExFatSetLayout oldName = folderSet(u"old-name", inner, 512);
  oldName.deleted = true;
  ExFatSetLayout staleLater = folderSet(u"stale", other, 512);
  staleLater.deleted = true;
  b.setRoot(join(
      {exFatRootHeader(), exFatEntrySet(oldName), exFatEntrySet(folderSet(u"new-name", inner, 512)),
       exFatEntrySet(folderSet(u"kept", other, 512)), exFatEntrySet(staleLater),
       exFatEntrySet(folderSet(u"first", 70, 512)), exFatEntrySet(folderSet(u"second", 70, 512))}));
  Harness h(b.image());
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.paths(), (std::vector<std::string>{"new-name", "new-name/inside", "kept",
                                                 "kept/inside2", "second"}));
}

TEST(ExFatEntries, NamesAreCutAtNameLength) {
  std::u16string long255(255, u'x');
  long255[0] = u'\u00e9';
  long255[254] = u'\u6587';
  const std::u16string forty = u"a-name-that-needs-three-name-entries.txt";
  struct Case {
    std::string what;
    ExFatSetLayout set;
    std::string expected;
  };
  ExFatSetLayout cut = fileSet(forty + u"JUNK", 0, 0);
  cut.nameLength = static_cast<std::uint8_t>(forty.size());
  ExFatSetLayout noStream = fileSet(u"bare", 0, 0);
  noStream.withStream = false;
  ExFatSetLayout deleted = fileSet(forty, 0, 0);
  deleted.deleted = true;
  std::string expected255 = "\xc3\xa9" + std::string(253, 'x') + "\xe6\x96\x87";
  const std::vector<Case> cases = {
      {"three name entries", fileSet(forty, 0, 0), "a-name-that-needs-three-name-entries.txt"},
      {"units past NameLength", cut, "a-name-that-needs-three-name-entries.txt"},
      {"deleted set", deleted, "a-name-that-needs-three-name-entries.txt"},
      {"255 units over 17 entries", fileSet(long255, 0, 0), expected255},
      {"no stream: cut at the first zero", noStream, "bare"},
  };
  for (const Case &c : cases) {
    const std::vector<std::uint8_t> bytes = exFatEntrySet(c.set);
    const std::optional<ExFatEntrySet> set = parseExFatEntrySet(bytes, 0);
    ASSERT_TRUE(set.has_value()) << c.what;
    EXPECT_EQ(set->entry.name, c.expected) << c.what;
    EXPECT_EQ(set->entryCount * 32, bytes.size()) << c.what;
  }
}

TEST(ExFatEntries, SetNeverReachesPastTheFolderOrItsSecondaryCount) {
  // A set cut off by the end of the folder takes only what the folder holds.
  std::vector<std::uint8_t> bytes = exFatEntrySet(fileSet(u"a-name-that-needs-two-entries", 3, 9));
  bytes.resize(3 * 32);
  std::optional<ExFatEntrySet> set = parseExFatEntrySet(bytes, 0);
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(set->entryCount, 3U);
  EXPECT_EQ(set->entry.name, "a-name-that-nee");

  // A SecondaryCount of 1 leaves the following name entry to the walk.
  bytes = exFatEntrySet(fileSet(u"abc", 3, 9));
  bytes[1] = 1;
  set = parseExFatEntrySet(bytes, 0);
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(set->entryCount, 2U);
  EXPECT_EQ(set->entry.name, "");
  EXPECT_FALSE(parseExFatEntrySet(bytes, 32).has_value());
  EXPECT_FALSE(parseExFatEntrySet(bytes, bytes.size() - 16).has_value());
}

TEST(ExFatScan, ReadsRootAndFoldersOverAllTheirClusters) {
  ExFatBuilder b;
  // A chained folder of four clusters, fragmented, with a file in its last cluster.
  std::vector<std::uint8_t> chained(4 * b.clusterSize(), 0);
  const auto deep = exFatEntrySet(fileSet(u"in-fourth-cluster", 0, 0));
  std::copy(deep.begin(), deep.end(),
            chained.begin() + 3 * static_cast<std::ptrdiff_t>(b.clusterSize()));
  const std::uint32_t chainedCluster = b.store(chained, false, true);
  // A contiguous folder (no FAT chain) of three clusters, a file in the third.
  std::vector<std::uint8_t> flat(3 * b.clusterSize(), 0);
  const auto far = exFatEntrySet(fileSet(u"in-third-cluster", 0, 0));
  std::copy(far.begin(), far.end(),
            flat.begin() + 2 * static_cast<std::ptrdiff_t>(b.clusterSize()));
  const std::uint32_t flatCluster = b.store(flat, true);
  // The root spans three clusters; the second and third hold sets too.
  std::vector<std::uint8_t> root =
      join({exFatRootHeader(), exFatEntrySet(folderSet(u"chained", chainedCluster, chained.size())),
            exFatEntrySet(folderSet(u"flat", flatCluster, flat.size(), 0x03))});
  root.resize(3 * b.clusterSize(), 0);
  const auto late = exFatEntrySet(fileSet(u"late-root-file", 0, 0));
  std::copy(late.begin(), late.end(),
            root.begin() + 2 * static_cast<std::ptrdiff_t>(b.clusterSize()));
  b.setRoot(root);
  Harness h(b.image());
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.paths(), (std::vector<std::string>{"chained", "chained/in-fourth-cluster", "flat",
                                                 "flat/in-third-cluster", "late-root-file"}));
}

TEST(ExFatHostile, LoopsSelfParentsAndClustersBeyondTheVolumeEndQuickly) {
  ExFatBuilder b(64);
  // A folder of two clusters whose chain loops back to its first, holding a set that names
  // the folder itself.
  const std::uint32_t loopCluster = b.store(std::vector<std::uint8_t>(2 * b.clusterSize(), 0));
  b.setFat(loopCluster + 1, loopCluster);
  b.writeAt(b.clusterOffset(loopCluster),
            join({exFatEntrySet(folderSet(u"me-again", loopCluster, 2 * b.clusterSize())),
                  exFatEntrySet(fileSet(u"x", 0, 0))}));
  // A chain that leaves the heap.
  const std::uint32_t leaving = b.store(pattern(100, 3));
  b.setFat(leaving, 0x00FFFFFF);
  b.setRoot(
      join({exFatRootHeader(), exFatEntrySet(folderSet(u"loop", loopCluster, 2 * b.clusterSize())),
            exFatEntrySet(folderSet(u"far-dir", 0xFFFFFF00, 512)),
            exFatEntrySet(folderSet(u"huge-dir", 60, ~0ULL, 0x03)),
            exFatEntrySet(fileSet(u"far-file", 0x7FFFFFFF, 4096))}));
  // The boot sector claims far more clusters than the image holds.
  b.setBootField(92, 0xFFFFFFF0, 4);
  Harness h(b.image());
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.paths(), (std::vector<std::string>{"loop", "loop/me-again", "loop/x", "far-dir",
                                                 "huge-dir", "far-file"}));
  EXPECT_EQ(h.parser.clusterCount, 64U);
  EXPECT_TRUE(h.parser.chainEnds(h.parser.nextCluster(leaving)));
  EXPECT_TRUE(h.parser.chainEnds(h.parser.nextCluster(0xFFFFFFF0)));

  test::TempDir dir;
  std::string error;
  const auto saved = h.parser.saveEntryFile(*h.find("far-file"), dir.path(), &error);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(std::filesystem::file_size(*saved), 0U);
  EXPECT_EQ(error, "first cluster is outside the volume");
}

TEST(ExFatTexts, TimesAttributesAndSize) {
  ExFatSetLayout s = fileSet(u"t", 0, 1536);
  s.attributes = 0x27;
  s.createStamp = exFatStamp(2021, 3, 4, 13, 5, 6);
  s.accessStamp = exFatStamp(2020, 12, 31, 0, 0, 0);
  s.modifyStamp = exFatStamp(2022, 1, 2, 9, 30, 0);
  s.validDataLength = 1536;
  s.dataLength = 4096;
  const auto bytes = exFatEntrySet(s);
  const ExFatEntry e = parseExFatEntrySet(bytes, 0)->entry;
  ExFatBuilder b;
  Harness h(b.image());
  const auto texts = h.parser.entryTexts(e);
  EXPECT_EQ(texts[0], "03/04/2021  01:05 PM");
  EXPECT_EQ(texts[1], "12/31/2020  00:00 AM");
  EXPECT_EQ(texts[2], "01/02/2022  09:30 AM");
  EXPECT_EQ(texts[3], "-R-H-S-A");
  EXPECT_EQ(h.parser.sizeText(e), "1.50 KB");
}

// Saves an entry and returns its bytes and modification time.
struct Saved {
  std::vector<std::uint8_t> bytes;
  struct timespec modified {};
  std::string error;
};

Saved saveOne(Harness &h, const std::string &name, const test::TempDir &dir) {
  Saved s;
  const ExFatEntry *e = h.find(name);
  EXPECT_NE(e, nullptr) << name;
  if (e == nullptr) {
    return s;
  }
  const auto path = h.parser.saveEntryFile(*e, dir.path(), &s.error);
  EXPECT_TRUE(path.has_value()) << name;
  if (path) {
    s.bytes = test::readFileBytes(*path);
    struct stat st {};
    EXPECT_EQ(lstat(path->c_str(), &st), 0);
    s.modified = st.st_mtim;
  }
  return s;
}

TEST(ExFatSave, WritesDataByteIdenticalWithTheModificationTime) {
  ExFatBuilder b;
  const auto chainedData = pattern(3 * 512 + 100, 4);
  const std::uint32_t chained = b.store(chainedData, false, true);
  const auto flatData = pattern(3 * 512 + 256, 5); // 3.5 clusters, no FAT chain
  const std::uint32_t flat = b.store(flatData, true);
  const auto partData = pattern(600, 6);
  const std::uint32_t part = b.store(partData);
  const auto goneData = pattern(1200, 7);
  const std::uint32_t gone = b.store(goneData);
  for (std::uint32_t c = gone; c < gone + 3; ++c) {
    b.setFat(c, 0); // freed when the file was deleted
  }
  ExFatSetLayout chainedSet = fileSet(u"chained.bin", chained, chainedData.size());
  chainedSet.modifyStamp = exFatStamp(2023, 6, 7, 8, 9, 10);
  chainedSet.modify10ms = 150;           // +1.5 s
  chainedSet.modifyUtcOffset = 0x80 | 8; // UTC+2:00
  ExFatSetLayout partSet = fileSet(u"part.bin", part, 600);
  partSet.dataLength = 1500; // written 600 bytes, allocated beyond
  ExFatSetLayout goneSet = fileSet(u"gone.bin", gone, goneData.size());
  goneSet.deleted = true;
  b.setRoot(join({exFatRootHeader(), exFatEntrySet(chainedSet),
                  exFatEntrySet(fileSet(u"flat.bin", flat, flatData.size(), 0x03)),
                  exFatEntrySet(partSet), exFatEntrySet(goneSet),
                  exFatEntrySet(fileSet(u"empty", 0, 0, 0x00))}));
  Harness h(b.image());
  ASSERT_TRUE(h.scan());
  test::TempDir dir;

  const Saved c = saveOne(h, "chained.bin", dir);
  EXPECT_EQ(c.bytes, chainedData);
  EXPECT_EQ(c.error, "");
  // 2023-06-07 08:09:10 at UTC+2 plus 1.5 s.
  EXPECT_EQ(c.modified.tv_sec, 1686118150 + 1);
  EXPECT_EQ(c.modified.tv_nsec, 500'000'000);

  EXPECT_EQ(saveOne(h, "flat.bin", dir).bytes, flatData);

  std::vector<std::uint8_t> partExpected = partData;
  partExpected.resize(1500, 0);
  EXPECT_EQ(saveOne(h, "part.bin", dir).bytes, partExpected);

  EXPECT_EQ(saveOne(h, "gone.bin", dir).bytes, goneData);
  EXPECT_TRUE(saveOne(h, "empty", dir).bytes.empty());
}

TEST(ExFatSave, ChainThatEndsOrLoopsEarlyKeepsWhatWasRead) {
  ExFatBuilder b;
  const auto data = pattern(4 * 512, 8);
  const std::uint32_t first = b.store(data);
  b.setFat(first + 1, first); // loops back after two clusters
  b.setRoot(join({exFatRootHeader(), exFatEntrySet(fileSet(u"loop.bin", first, data.size()))}));
  Harness h(b.image());
  ASSERT_TRUE(h.scan());
  test::TempDir dir;
  const Saved s = saveOne(h, "loop.bin", dir);
  // The loop ends the data after the two clusters it covers.
  EXPECT_EQ(s.bytes, std::vector<std::uint8_t>(data.begin(), data.begin() + 1024));
  EXPECT_EQ(s.error, "cluster chain loops");

  b.setFat(first + 1, 0xFFFFFFF8); // an end value other than 0xFFFFFFFF
  Harness ends(b.image());
  ASSERT_TRUE(ends.scan());
  const Saved e = saveOne(ends, "loop.bin", dir);
  EXPECT_EQ(e.bytes.size(), 1024U);
  EXPECT_EQ(e.error, "cluster chain ends before the data does");
}

// A volume made by mkfs.exfat and filled through the FUSE driver (tests/fixtures/make_exfat.sh):
// every live file is listed with its path and saved byte-identical with its modification time,
// and the deleted file and folder are listed with their names.
TEST(ExFatVolume, ReadsAVolumeMadeByTheRealTools) {
  test::TempDir dir;
  const std::filesystem::path fixture =
      std::filesystem::path(__FILE__).parent_path() / "../../../fixtures/exfat.tar.xz";
  const std::string cmd = "tar -xJf '" + fixture.string() + "' -C '" + dir.path().string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  Harness h(test::readFileBytes(dir / "exfat.img"));
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.parser.clusterSize, 4096U);

  std::map<std::string, const ExFatEntry *> live;
  std::map<std::string, const ExFatEntry *> deleted;
  for (std::size_t i = 1; i < h.parser.entries.size(); ++i) {
    const ExFatEntry &e = h.parser.entries[i];
    (e.deleted() ? deleted : live)[h.path(e)] = &e;
  }
  const auto unhex = [](const std::string &hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
  };
  std::ifstream manifest(dir / "manifest.tsv");
  std::string line;
  std::size_t files = 0;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string kind, hexPath;
    fields >> kind >> hexPath;
    const std::string path = unhex(hexPath);
    if (kind == "deleted") {
      EXPECT_TRUE(deleted.count(path) == 1) << path;
      continue;
    }
    ++files;
    std::uint64_t size = 0;
    std::string hash;
    std::int64_t mtime = 0;
    fields >> size >> hash >> mtime;
    ASSERT_TRUE(live.count(path) == 1) << path;
    test::TempDir out;
    std::string error;
    const auto saved = h.parser.saveEntryFile(*live[path], out.path(), &error);
    ASSERT_TRUE(saved.has_value()) << path;
    EXPECT_EQ(error, "") << path;
    const std::vector<std::uint8_t> bytes = test::readFileBytes(*saved);
    std::uint64_t fnv = 0xcbf29ce484222325ULL;
    for (const std::uint8_t b : bytes) {
      fnv = (fnv ^ b) * 0x100000001b3ULL;
    }
    EXPECT_EQ(bytes.size(), size) << path;
    EXPECT_EQ(format("%016llx", static_cast<unsigned long long>(fnv)), hash) << path;
    struct stat st {};
    ASSERT_EQ(lstat(saved->c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, mtime) << path;
  }
  EXPECT_EQ(files, 155U);
  // The appended file's clusters are not one run, so it is read through its chain.
  ASSERT_TRUE(live.count("frag.bin") == 1);
  EXPECT_FALSE(live["frag.bin"]->contiguous());
}

} // namespace
} // namespace quillon
