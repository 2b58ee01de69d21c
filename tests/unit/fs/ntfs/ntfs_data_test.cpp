// Saving NTFS file data: resident, plain, sparse and compressed data, attribute lists, damaged
// run lists, names and times, over volumes built in memory.
#include "fs/ntfs/ntfs_data.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "fs/ntfs/ntfs.h"
#include "support/file_util.h"
#include "support/ntfs_builder.h"
#include "support/ntfs_data_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

namespace quillon {
namespace {

namespace fs = std::filesystem;
using Buffer = std::vector<std::uint8_t>;
using test::NtfsAttribute;
using test::NtfsBuilder;
using test::NtfsRecord;
using test::NtfsRun;

constexpr std::uint64_t kCluster = 4096;

NtfsRun run(std::int64_t lcn, std::uint64_t count) { return {lcn, count, false}; }
NtfsRun sparse(std::uint64_t count) { return {0, count, true}; }

NtfsAttribute nonResident(std::vector<NtfsRun> runs, std::uint64_t realSize,
                          std::uint16_t flags = 0, std::uint8_t compressionUnit = 0) {
  NtfsAttribute a;
  a.resident = false;
  a.runs = std::move(runs);
  a.realSize = realSize;
  a.flags = flags;
  a.compressionUnit = compressionUnit;
  return a;
}

Buffer cat(std::initializer_list<Buffer> parts) {
  Buffer out;
  for (const auto &p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

Buffer textBytes(std::size_t n, int seed) {
  Buffer out;
  for (int i = 0; out.size() < n; ++i) {
    const std::string line = "entry " + std::to_string((i * 7 + seed) % 53) + " of the log\n";
    out.insert(out.end(), line.begin(), line.end());
  }
  out.resize(n);
  return out;
}

// A volume from the builder with an entry table laid out as a standard scan lays it out (table
// index = record number), names and sizes taken from the records' descriptions.
class NtfsData : public ::testing::Test {
protected:
  explicit NtfsData(test::NtfsGeometry geometry = {}) : b(std::move(geometry)) {}

  void load() {
    reader_ = b.reader();
    parser_ = std::make_unique<ntfs>(*reader_, progress_, control_,
                                     VolumeRecord{"NTFS", "", "0", "4", 0});
    parser_->clusterSize = b.clusterSize();
    parser_->volumeSize = b.geometry().volumeBytes;
    parser_->mftRuns = b.mftRuns();
    parser_->recordSize = b.geometry().recordSize;
    parser_->entries.resize(b.mftRecordCount());
    for (std::uint64_t n = 0; n < parser_->entries.size(); ++n) {
      NtfsEntry &e = parser_->entries[n];
      e.signature = {'F', 'I', 'L', 'E'};
      e.recordOffset = b.recordOffset(n).value_or(0);
      e.ownIndex = static_cast<std::int64_t>(n);
    }
    for (const auto n : described_) {
      const NtfsRecord &r = b.record(n);
      NtfsEntry &e = parser_->entries[n];
      e.hasName = !r.names.empty();
      e.name = e.hasName ? r.names.back().name : "";
      e.kind = r.directory ? 'D' : 0;
      e.hasAttributeList = r.attributeList.has_value();
      for (const auto &a : r.attributes) {
        e.hasAttributeList = e.hasAttributeList || a.type == 0x20;
        if (a.type == 0x80 && a.name.empty()) {
          e.dataSize = a.resident ? a.value.size() : a.realSize;
        }
      }
    }
  }

  NtfsRecord &file(std::uint64_t number, const std::string &name,
                   std::vector<NtfsAttribute> attributes = {}) {
    described_.push_back(number);
    NtfsRecord r = NtfsBuilder::namedRecord(name);
    r.attributes = std::move(attributes);
    b.set(number, std::move(r));
    return b.record(number);
  }

  // Saves entry n into the output folder; the saved bytes, or nullopt with the error.
  std::optional<Buffer> save(std::int64_t n) {
    error_.clear();
    const auto path = parser_->saveEntryFile(n, out_.path(), &error_);
    if (!path) {
      return std::nullopt;
    }
    EXPECT_EQ(path->parent_path(), out_.path());
    return test::readFileBytes(*path);
  }

  [[nodiscard]] std::vector<std::string> savedNames() const {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(out_.path())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  NtfsBuilder b;
  test::TempDir out_;
  std::string error_;
  NullProgress progress_;
  WorkerControl control_;
  std::unique_ptr<MemoryReader> reader_;
  std::unique_ptr<ntfs> parser_;
  std::vector<std::uint64_t> described_;
};

TEST_F(NtfsData, ResidentFileComesFromTheFixedUpRecordWithItsTimes) {
  // 700 bytes after the record's other attributes: the value covers the end of the first
  // sector, where the record on disk holds the update-sequence number instead.
  const Buffer content = test::patternBytes(700, 1);
  b.file(30, "notes.txt", 5, content);
  described_.push_back(30);
  load();

  const auto path = parser_->saveEntryFile(30, out_.path(), &error_);
  ASSERT_TRUE(path) << error_;
  // The times first: reading the file may move its access time.
  struct stat st {};
  ASSERT_EQ(::stat(path->c_str(), &st), 0);
  const test::NtfsTimes times = *b.record(30).standardInformation;
  EXPECT_EQ(st.st_mtim.tv_sec, *filetimeToUnix(times.modified));
  EXPECT_EQ(st.st_atim.tv_sec, *filetimeToUnix(times.accessed));
  EXPECT_EQ(test::readFileBytes(*path), content);
  EXPECT_EQ(parser_->sizeText(30), "700 Bytes");
}

class NtfsDataLarge : public NtfsData {
protected:
  NtfsDataLarge() : NtfsData(geometry()) {}
  static test::NtfsGeometry geometry() {
    test::NtfsGeometry g;
    g.volumeBytes = 12 << 20;
    return g;
  }
};

TEST_F(NtfsDataLarge, PlainDataStopsAtTheRealSizeAndSparseRunsAreZeros) {
  const struct {
    const char *what;
    std::vector<NtfsRun> runs;
    std::uint64_t realSize;
    std::uint64_t expectedSize;
  } cases[] = {
      {"exact multiple of the cluster", {run(100, 3)}, 3 * kCluster, 3 * kCluster},
      {"cut inside the last cluster", {run(100, 3)}, 3 * kCluster - 100, 3 * kCluster - 100},
      {"fragmented, backwards, sparse middle",
       {run(200, 2), sparse(2), run(150, 1), sparse(1)},
       6 * kCluster - 7,
       6 * kCluster - 7},
      {"runs shorter than the real size", {run(100, 1)}, 3 * kCluster, kCluster},
      {"one run larger than a read", {run(1100, 1300)}, 1300 * kCluster - 1, 1300 * kCluster - 1},
  };
  std::uint64_t n = 40;
  for (const auto &c : cases) {
    file(n, "f" + std::to_string(n), {nonResident(c.runs, c.realSize)});
    ++n;
  }
  for (std::uint64_t lcn : {100, 101, 102, 150, 200, 201}) {
    b.writeCluster(lcn, test::patternBytes(kCluster, static_cast<std::uint32_t>(lcn)));
  }
  const Buffer big = test::patternBytes(1300 * kCluster, 9);
  b.write(1100 * kCluster, big);
  load();

  n = 40;
  for (const auto &c : cases) {
    Buffer expected;
    for (const auto &r : c.runs) {
      for (std::uint64_t i = 0; i < r.count; ++i) {
        const Buffer cluster =
            r.sparse        ? Buffer(kCluster, 0)
            : r.lcn == 1100 ? Buffer(big.begin() + static_cast<std::ptrdiff_t>(i * kCluster),
                                     big.begin() + static_cast<std::ptrdiff_t>((i + 1) * kCluster))
                            : test::patternBytes(kCluster, static_cast<std::uint32_t>(r.lcn + i));
        expected.insert(expected.end(), cluster.begin(), cluster.end());
      }
    }
    expected.resize(c.expectedSize);
    const auto saved = save(static_cast<std::int64_t>(n++));
    ASSERT_TRUE(saved) << c.what << ": " << error_;
    EXPECT_EQ(saved->size(), c.expectedSize) << c.what;
    EXPECT_TRUE(*saved == expected) << c.what;
  }
}

TEST_F(NtfsData, CompressedUnitsAreSparseRawOrLznt1AndTheLastPartialUnitIsKept) {
  constexpr std::uint64_t kUnit = 16 * kCluster;
  const Buffer raw = test::patternBytes(kUnit, 5);
  // A unit that decompresses short: its place in the file is filled with zeros, so the next unit
  // stays at its offset.
  const Buffer shortText = textBytes(60000, 1);
  const Buffer tail = textBytes(10000, 2);
  const Buffer packedShort = test::lznt1Compress(shortText);
  const Buffer packedTail = test::lznt1Compress(tail);
  const std::uint64_t shortClusters = (packedShort.size() + kCluster - 1) / kCluster;
  const std::uint64_t tailClusters = (packedTail.size() + kCluster - 1) / kCluster;
  ASSERT_LT(shortClusters, 16u);
  ASSERT_LT(tailClusters, 16u);
  b.write(300 * kCluster, raw);
  b.write(400 * kCluster, packedShort);
  b.write(500 * kCluster, packedTail);

  const Buffer expected =
      cat({Buffer(kUnit, 0), raw, shortText, Buffer(kUnit - shortText.size(), 0), tail});
  const std::vector<NtfsRun> runs = {sparse(16), run(300, 16), run(400, shortClusters),
                                     sparse(16 - shortClusters),
                                     // the attribute ends inside the last unit
                                     run(500, tailClusters)};
  // Compressed alone, and compressed with the sparse flag beside it.
  file(40, "packed.bin", {nonResident(runs, expected.size(), 0x0001, 4)});
  file(41, "sparse-packed.bin", {nonResident(runs, expected.size(), 0x8001, 4)});
  load();

  for (const std::int64_t n : {40, 41}) {
    const auto saved = save(n);
    ASSERT_TRUE(saved) << error_;
    ASSERT_EQ(saved->size(), expected.size());
    EXPECT_TRUE(*saved == expected) << n;
  }
}

// An extension record of base holding the attributes.
NtfsRecord extension(std::uint64_t base, std::vector<NtfsAttribute> attributes) {
  NtfsRecord r;
  r.baseRecord = base;
  r.standardInformation.reset();
  r.attributes = std::move(attributes);
  return r;
}

TEST_F(NtfsData, AttributeListGathersTheDataExtentsOfExtensionRecords) {
  // The first extent (real size, VCN 0) sits in record base + 2, the second in base + 1; a named
  // stream listed beside them is not part of the file. Base 40 keeps its list resident, base 50
  // keeps it in a cluster.
  const std::uint64_t realSize = 5 * kCluster - 10;
  NtfsAttribute first = nonResident({run(300, 3)}, realSize);
  first.id = 7;
  NtfsAttribute second = nonResident({run(120, 2)}, 0);
  second.firstVcn = 3;
  second.id = 3;
  NtfsAttribute stream = nonResident({run(130, 1)}, kCluster);
  stream.name = "Zone";
  stream.id = 4;
  const auto listOf = [](std::uint64_t base) {
    return std::vector<test::NtfsListEntry>{{0x10, base, 1, 0, 0, ""},
                                            {0x30, base, 1, 0, 2, ""},
                                            {0x80, base + 2, 1, 0, 7, ""},
                                            {0x80, base + 1, 1, 3, 3, ""},
                                            {0x80, base + 1, 1, 0, 4, "Zone"}};
  };
  for (const std::uint64_t base : {40, 50}) {
    b.set(base + 1, extension(base, {second, stream}));
    b.set(base + 2, extension(base, {first}));
  }
  file(40, "big.bin").attributeList = listOf(40);
  const Buffer list50 = NtfsBuilder::encodeAttributeList(listOf(50));
  NtfsAttribute outside = nonResident({run(140, 1)}, list50.size());
  outside.type = 0x20;
  file(50, "big2.bin", {outside});
  b.writeCluster(140, list50);

  Buffer expected;
  for (const std::uint64_t lcn : {300, 301, 302, 120, 121}) {
    const Buffer c = test::patternBytes(kCluster, static_cast<std::uint32_t>(lcn));
    b.writeCluster(lcn, c);
    expected.insert(expected.end(), c.begin(), c.end());
  }
  b.writeCluster(130, Buffer(kCluster, 'Z'));
  expected.resize(realSize);
  load();

  for (const std::int64_t n : {40, 50}) {
    const auto saved = save(n);
    ASSERT_TRUE(saved) << error_;
    EXPECT_EQ(saved->size(), realSize) << n;
    EXPECT_TRUE(*saved == expected) << n;
    EXPECT_EQ(error_, "") << n;
    EXPECT_EQ(parser_->dataSize(n), realSize) << n;
  }
  EXPECT_EQ(parser_->sizeText(40), "19.99 KB");
}

TEST_F(NtfsData, MissingExtensionRecordLeavesZerosAndSaysSo) {
  // The middle extent's record now belongs to another file: its clusters become zeros, the
  // extent after it stays at its offset, and the save says what it could not read.
  NtfsAttribute first = nonResident({run(300, 2)}, 5 * kCluster);
  first.id = 1;
  NtfsAttribute last = nonResident({run(302, 1)}, 0);
  last.firstVcn = 4;
  last.id = 1;
  b.set(42, extension(40, {first}));
  b.file(43, "other.txt", 5, Buffer(10, 'x'));
  b.set(44, extension(40, {last}));
  file(40, "gap.bin").attributeList = std::vector<test::NtfsListEntry>{
      {0x80, 42, 1, 0, 1, ""}, {0x80, 43, 1, 2, 1, ""}, {0x80, 44, 1, 4, 1, ""}};
  b.writeCluster(300, Buffer(kCluster, 'a'));
  b.writeCluster(301, Buffer(kCluster, 'b'));
  b.writeCluster(302, Buffer(kCluster, 'c'));
  load();

  const auto saved = save(40);
  ASSERT_TRUE(saved) << error_;
  EXPECT_EQ(*saved, cat({Buffer(kCluster, 'a'), Buffer(kCluster, 'b'), Buffer(2 * kCluster, 0),
                         Buffer(kCluster, 'c')}));
  EXPECT_NE(error_.find("43"), std::string::npos) << error_;
}

TEST_F(NtfsData, NameInAnExtensionRecordSavesTheBaseRecordsData) {
  // A record whose attributes overflowed may keep its $FILE_NAME in an extension record; the
  // entry named from there saves the base record's data and times.
  NtfsRecord base = NtfsBuilder::namedRecord("unused");
  base.names.clear();
  base.attributes = {nonResident({run(310, 1)}, 100)};
  base.attributeList =
      std::vector<test::NtfsListEntry>{{0x10, 60, 1, 0, 0, ""}, {0x30, 61, 1, 0, 0, ""}};
  b.set(60, base);
  NtfsRecord named = extension(60, {});
  named.names = NtfsBuilder::namedRecord("elsewhere.txt").names;
  b.set(61, named);
  described_ = {60, 61};
  b.writeCluster(310, test::patternBytes(kCluster, 310));
  load();

  const auto path = parser_->saveEntryFile(61, out_.path(), &error_);
  ASSERT_TRUE(path) << error_;
  EXPECT_EQ(path->filename(), "elsewhere.txt");
  struct stat st {};
  ASSERT_EQ(::stat(path->c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, *filetimeToUnix(base.standardInformation->modified));
  Buffer expected = test::patternBytes(kCluster, 310);
  expected.resize(100);
  EXPECT_EQ(test::readFileBytes(*path), expected);
}

TEST_F(NtfsData, RunListsBeyondTheVolumeEndQuickly) {
  // 4 MiB volume: 1024 clusters. A run claiming 2^40 clusters from cluster 1000 holds only 24
  // clusters of the volume, whatever the real size says.
  const std::uint64_t huge = 1ULL << 40;
  file(40, "huge.bin", {nonResident({run(1000, huge)}, huge * kCluster)});
  file(41, "small.bin", {nonResident({run(1000, huge)}, 10000)});
  file(42, "hole.bin", {nonResident({run(5000, 2), run(100, 1)}, 3 * kCluster)});
  b.write(1000 * kCluster, test::patternBytes(24 * kCluster, 3));
  b.writeCluster(100, Buffer(kCluster, 'c'));
  load();

  auto saved = save(40);
  ASSERT_TRUE(saved) << error_;
  EXPECT_EQ(*saved, test::patternBytes(24 * kCluster, 3));
  saved = save(41);
  ASSERT_TRUE(saved) << error_;
  EXPECT_EQ(saved->size(), 10000u);
  // A run outside the volume in the middle keeps later data at its offset.
  saved = save(42);
  ASSERT_TRUE(saved) << error_;
  EXPECT_EQ(*saved, cat({Buffer(2 * kCluster, 0), Buffer(kCluster, 'c')}));
  EXPECT_NE(error_.find("outside the volume"), std::string::npos) << error_;
}

TEST_F(NtfsData, RefusesWhatCannotBeSavedSoundly) {
  b.folder(30, "docs");
  described_.push_back(30);
  file(31, "..", {nonResident({run(100, 1)}, 10)});
  file(32, "unit16.bin", {nonResident({run(100, 1)}, 10, 0x0001, 16)});
  file(33, "secret.doc", {nonResident({run(100, 1)}, 10, 0x4000)});
  load();

  const struct {
    std::int64_t index;
    const char *error;
  } cases[] = {
      {30, "is a folder"}, {31, "cannot be used"}, {32, "compression unit"},  {33, "encrypted"},
      {34, "no name"},     {-1, "no such entry"},  {100000, "no such entry"},
  };
  for (const auto &c : cases) {
    EXPECT_FALSE(save(c.index).has_value()) << c.index;
    EXPECT_NE(error_.find(c.error), std::string::npos) << c.index << ": " << error_;
  }
  EXPECT_TRUE(savedNames().empty());
}

TEST_F(NtfsData, NamesStayInsideTheFolderAndTheLaterSameNameWins) {
  b.file(30, "a/b", 5, Buffer(3, '1'));
  b.file(31, "  spaced.txt \t", 5, Buffer(3, '2'));
  b.file(32, "same.txt", 5, Buffer(30, '3'));
  b.file(33, "same.txt", 5, Buffer(4, '4'));
  described_ = {30, 31, 32, 33};
  load();

  for (const std::int64_t n : {30, 31, 32, 33}) {
    ASSERT_TRUE(save(n)) << n << ": " << error_;
  }
  EXPECT_EQ(savedNames(), (std::vector<std::string>{"a_b", "same.txt", "spaced.txt"}));
  EXPECT_EQ(test::readFileBytes(out_ / "same.txt"), Buffer(4, '4'));
}

TEST_F(NtfsData, StopRequestEndsTheSave) {
  file(40, "f.bin", {nonResident({run(100, 3)}, 3 * kCluster)});
  load();
  control_.requestStop();
  EXPECT_FALSE(save(40).has_value());
  EXPECT_NE(error_.find("stopped"), std::string::npos) << error_;
}

TEST(NtfsDataList, EntriesAreBoundedByTheirLengthAndTheList) {
  const Buffer good = NtfsBuilder::encodeAttributeList(
      {{0x80, 7, 1, 0, 2, ""}, {0x80, 8, 1, 9, 3, "Zone"}, {0x80, 9, 1, 16, 4, ""}});
  auto entries = ntfs_data::unnamedDataEntries(good);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].recordNumber, 7u);
  EXPECT_EQ(entries[1].startVcn, 16u);
  EXPECT_EQ(entries[1].attributeId, 4);

  Buffer zeroLength = good;
  putLe(zeroLength, 4, 0, 2); // a length of 0 would never move on
  EXPECT_TRUE(ntfs_data::attributeListEntries(zeroLength).empty());
  Buffer pastEnd = good;
  putLe(pastEnd, 4, good.size() + 8, 2);
  EXPECT_TRUE(ntfs_data::attributeListEntries(pastEnd).empty());
  EXPECT_EQ(ntfs_data::attributeListEntries(Bytes(good).first(good.size() - 1)).size(), 2u);
}

} // namespace
} // namespace quillon
