// The partition-table walk: MBR primaries and the extended chain, the GUID partition table, and
// what a damaged table or a failed read costs.
#include "volumes/partition.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "support/disk_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <set>

namespace quillon {
namespace {

using test::DiskBuilder;
using test::GptEntry;

struct Row {
  std::string fsType;
  std::string size;
  std::uint64_t start;
  bool operator==(const Row &) const = default;
};

void PrintTo(const Row &r, std::ostream *os) {
  *os << "{" << r.fsType << ", \"" << r.size << "\", " << r.start << "}";
}

std::vector<Row> rows(const std::vector<VolumeRecord> &records) {
  std::vector<Row> out;
  for (const VolumeRecord &r : records) {
    out.push_back({r.fsType, r.volumeSizeText, r.startSector});
  }
  return out;
}

struct Walk {
  int rc = 0;
  std::vector<VolumeRecord> records;
  std::vector<std::string> statuses;
  int callbacks = 0;
};

Walk walk(readWriteInterface &reader, bool gpt, WorkerControl *control = nullptr) {
  Walk w;
  RecordingProgress progress;
  Partition p(reader, progress, w.records);
  p.gptMode = gpt;
  p.control = control;
  p.onVolumeFound = [&w](const VolumeRecord &r) {
    EXPECT_EQ(r.number, std::to_string(w.callbacks));
    ++w.callbacks;
  };
  w.rc = p.listPartitions();
  w.statuses = progress.statuses();
  return w;
}

Walk walk(const DiskBuilder &d, bool gpt, WorkerControl *control = nullptr) {
  const auto reader = d.reader();
  return walk(*reader, gpt, control);
}

TEST(MbrWalk, ListsEveryPrimaryThenTheLogicalChain) {
  DiskBuilder d(4096);
  d.tableEntry(0, 1, 0x07, 100, 409600)
      .tableEntry(0, 2, 0x05, 1000, 3000)
      .tableEntry(0, 3, 0x0B, 200, 2048000)
      .ntfs(100, 409599)
      // Boot record 1: an ext logical and a link 500 sectors into the extended partition.
      .tableEntry(1000, 0, 0x83, 63, 4096)
      .tableEntry(1000, 1, 0x05, 500, 900)
      // Boot record 2: an exFAT logical behind type 0x07.
      .tableEntry(1500, 0, 0x07, 63, 20480)
      .tableEntry(1500, 1, 0x05, 900, 400)
      .exfat(1563, 20480)
      // Boot record 3: its logical partition was deleted, the link stays.
      .tableEntry(1900, 1, 0x05, 1300, 400)
      .tableEntry(2300, 0, 0x06, 63, 2048);

  const Walk w = walk(d, false);
  EXPECT_EQ(w.rc, 0);
  EXPECT_EQ(rows(w.records), (std::vector<Row>{{"NTFS", "200   MB", 100},
                                               {"FAT32", "1000   MB", 200},
                                               {"extX", "2   MB", 1063},
                                               {"FAT64", "10   MB", 1563},
                                               {"FAT16", "1   MB", 2363}}));
  EXPECT_EQ(w.statuses,
            (std::vector<std::string>{"found NTFS 1...", "found FAT 32...", "found extx...",
                                      "found FAT64...", "found FAT 16..."}));
  EXPECT_EQ(w.callbacks, 5);
}

TEST(MbrWalk, TypesPrimaryAndLogicalEntries) {
  const struct {
    std::uint8_t type;
    bool exfat;
    const char *primaryType;
    const char *primaryStatus;
    const char *logicalType;
    const char *logicalStatus;
  } cases[] = {
      {0x01, false, "FAT12", "", "FAT12", ""},
      {0x04, false, "FAT16", "found FAT 16...", "FAT16", "found FAT 16..."},
      {0x06, false, "FAT16", "found FAT 16...", "FAT16", "found FAT 16..."},
      {0x0E, false, "FAT16", "found FAT 16...", "FAT16", "found FAT 16..."},
      {0x0B, false, "FAT32", "found FAT 32...", "FAT32", "found FAT 32..."},
      {0x0C, false, "FAT32", "found FAT 32...", "FAT32", "found FAT 32..."},
      {0x07, false, "NTFS", "found NTFS 1...", "NTFS", "found NTFS..."},
      {0x07, true, "FAT64", "found FAT64...", "FAT64", "found FAT64..."},
      {0x42, false, "NTFS", "NTFS...", "Unknown", "found UNKNOWN..."},
      {0x83, false, "extX", "found ext2...", "extX", "found extx..."},
      {0xEE, false, "Unknown", "found UNKNOWN...", "Unknown", "found UNKNOWN..."},
  };
  for (const auto &c : cases) {
    DiskBuilder d(4096);
    d.tableEntry(0, 0, c.type, 100, 4096)
        .tableEntry(0, 1, 0x0F, 2000, 2000)
        .tableEntry(2000, 0, c.type, 100, 6143);
    if (c.exfat) {
      d.exfat(100, 4096).exfat(2100, 6143);
    }
    const Walk w = walk(d, false);
    EXPECT_EQ(rows(w.records),
              (std::vector<Row>{{c.primaryType, "2   MB", 100}, {c.logicalType, "2   MB", 2100}}))
        << int{c.type};
    std::vector<std::string> statuses;
    for (const char *s : {c.primaryStatus, c.logicalStatus}) {
      if (*s != 0) {
        statuses.emplace_back(s);
      }
    }
    EXPECT_EQ(w.statuses, statuses) << int{c.type};
  }
}

TEST(MbrWalk, DamagedChainsAndEntriesCostOnlyThemselves) {
  const struct {
    const char *what;
    std::function<void(DiskBuilder &)> build;
    std::vector<std::uint64_t> starts;
  } cases[] = {
      {"a chain of 60 boot records stops after 50",
       [](DiskBuilder &d) {
         for (std::uint32_t k = 0; k < 60; ++k) {
           d.tableEntry(1000 + 10 * k, 0, 0x83, 1, 2048);
           d.tableEntry(1000 + 10 * k, 1, 0x05, 10 * (k + 1), 10);
         }
       },
       [] {
         std::vector<std::uint64_t> s;
         for (std::uint64_t k = 0; k < 50; ++k) {
           s.push_back(1001 + 10 * k);
         }
         return s;
       }()},
      {"a chain that loops back is followed once",
       [](DiskBuilder &d) {
         d.tableEntry(1000, 0, 0x83, 1, 2048).tableEntry(1000, 1, 0x05, 10, 10);
         d.tableEntry(1010, 0, 0x83, 1, 2048).tableEntry(1010, 1, 0x05, 0, 10);
       },
       {1001, 1011}},
      {"a link past the disk ends the chain",
       [](DiskBuilder &d) {
         d.tableEntry(1000, 0, 0x83, 1, 2048).tableEntry(1000, 1, 0x05, 0xFFFFFF00, 10);
       },
       {1001}},
      {"a logical entry past the disk is skipped, the chain goes on",
       [](DiskBuilder &d) {
         d.tableEntry(1000, 0, 0x83, 0xFFFFFFF0, 2048).tableEntry(1000, 1, 0x05, 10, 10);
         d.tableEntry(1010, 0, 0x83, 1, 2048);
       },
       {1011}},
      {"entries past the disk are skipped",
       [](DiskBuilder &d) {
         d.tableEntry(0, 0, 0x83, 0xFFFFFF00, 2048).tableEntry(0, 2, 0x83, 50, 2048);
         d.tableEntry(0, 1, 0x05, 0xFFFF0000, 2048);
       },
       {50}},
      {"only the first extended entry is followed",
       [](DiskBuilder &d) {
         d.tableEntry(0, 2, 0x05, 1500, 100);
         d.tableEntry(1000, 0, 0x83, 1, 2048);
         d.tableEntry(1500, 0, 0x83, 1, 2048);
       },
       {1001}},
  };
  for (const auto &c : cases) {
    DiskBuilder d(2048);
    d.tableEntry(0, 1, 0x05, 1000, 1000);
    c.build(d);
    const Walk w = walk(d, false);
    EXPECT_EQ(w.rc, 0) << c.what;
    std::vector<std::uint64_t> starts;
    for (const VolumeRecord &r : w.records) {
      starts.push_back(r.startSector);
    }
    EXPECT_EQ(starts, c.starts) << c.what;
  }
}

GptEntry entry(const test::GuidBytes &type, std::uint64_t first, std::uint64_t last,
               std::u16string name) {
  return {type, first, last, std::move(name)};
}

TEST(GptWalk, ListsEntriesPastGapsAndTypesThemByTheirBootSector) {
  // A type GUID with 0x30 among its first bytes is as good as any other.
  const auto zeroish = test::guidFromText("30A83A30-1C3F-4E2B-9D11-5A0E33C3C3A1");
  DiskBuilder d(16384);
  d.gpt({
            entry(test::kBasicDataGuid, 40, 409639, u"Basic data partition"),
            {}, // empty entry
            entry(test::kMsReservedGuid, 2100, 2199, u"Microsoft reserved partition"),
            entry(zeroish, 2300, 43259, u"data"),
            entry(test::kLinuxDataGuid, 3000, 7095, u"root"),
            entry(test::kLinuxDataGuid, 6000, 5999, u"end before start"),
            entry(test::kLinuxDataGuid, 2, 100, u"on the table"),
            entry(test::kLinuxDataGuid, 20000, 30000, u"past the disk"),
            entry(test::kHfsPlusGuid, 8000, 12095, u"Untitled"),
            entry(test::kBasicDataGuid, 12100, 13099, u"tiny"),
            entry(test::kBasicDataGuid, 12200, 14000, u"odd FAT"),
            entry(test::kLinuxDataGuid, 12300, 12400, u"swap"),
            entry(test::kBasicDataGuid, 12500, 16383, u"exfat"),
            entry(test::kBasicDataGuid, 13000, 15047, u"fat12"),
        })
      .ntfs(40, 409600)
      .fat(2100, test::FatBoot{}) // the reserved entry's boot sector is never looked at
      .fat(2300, test::FatBoot{})
      .ext(3000)
      .hfsPlus(8000, 4096, 512)
      .ntfs(12100, 1000)
      .fat(12200, test::legacyFat(40, 4096))
      .exfat(12500, 4096)
      .fat(13000, test::mkfsFat12());

  const Walk w = walk(d, true);
  EXPECT_EQ(w.rc, 0);
  EXPECT_EQ(rows(w.records), (std::vector<Row>{{"NTFS", "200   MB", 40},
                                               {"FAT16", "20  MB", 2300},
                                               {"extX", "1", 3000},
                                               {"HFS+", "1", 8000},
                                               {"swap", "0", 12300},
                                               {"FAT64", "2  MB", 12500},
                                               {"FAT12", "1  MB", 13000}}));
  EXPECT_EQ(w.statuses,
            (std::vector<std::string>{"found NTFS 1...", "found FAT 16...", "found unknown...",
                                      "found FAT 64...", "found FAT 12..."}));
}

TEST(GptWalk, TheHeaderPlacesAndBoundsTheEntryArray) {
  const auto ntfsAt40 = [](DiskBuilder &d, test::GptLayout layout) {
    d.gpt({entry(test::kBasicDataGuid, 40, 4135, u"data")}, layout).ntfs(40, 4096);
  };
  const std::vector<Row> gptRows = {{"NTFS", "2   MB", 40}};
  const std::vector<Row> mbrRows = {{"Unknown", "0   MB", 1}};
  const struct {
    const char *what;
    bool gptMode;
    std::function<void(DiskBuilder &)> build;
    std::vector<Row> rows;
  } cases[] = {
      {"entries at sector 320, 256 bytes each", true,
       [&](DiskBuilder &d) {
         ntfsAt40(d, {320, 4, 256});
       },
       gptRows},
      {"the 101st of 128 entries", true,
       [&](DiskBuilder &d) {
         std::vector<GptEntry> entries(100);
         entries.push_back(entry(test::kBasicDataGuid, 40, 4135, u"data"));
         d.gpt(entries).ntfs(40, 4096);
       },
       gptRows},
      {"an entry count over 1024 is bounded", true,
       [&](DiskBuilder &d) {
         ntfsAt40(d, {2, 0xFFFFFFFF, 128});
       },
       gptRows},
      {"entries past the disk's end are not read", true,
       [&](DiskBuilder &d) {
         ntfsAt40(d, {1023, 128, 128});
       },
       gptRows},
      {"no signature: walked as an MBR", true,
       [&](DiskBuilder &d) {
         ntfsAt40(d, {});
         d.sectors(1)[0] = 'X';
       },
       mbrRows},
      {"an entry size that is no multiple of 128: walked as an MBR", true,
       [&](DiskBuilder &d) {
         ntfsAt40(d, {2, 128, 200});
       },
       mbrRows},
      {"an entry array past the disk: walked as an MBR", true,
       [&](DiskBuilder &d) {
         ntfsAt40(d, {});
         putLe(d.sectors(1), 72, 1ULL << 40, 8);
       },
       mbrRows},
      {"GPT format unticked: the protective entry is listed", false,
       [&](DiskBuilder &d) { ntfsAt40(d, {}); }, mbrRows},
  };
  for (const auto &c : cases) {
    DiskBuilder d(1024);
    c.build(d);
    const Walk w = walk(d, c.gptMode);
    EXPECT_EQ(w.rc, 0) << c.what;
    EXPECT_EQ(rows(w.records), c.rows) << c.what;
  }
}

TEST(GptWalk, AStopSetBeforeTheRunEndsItAfterTheFirstBootSectorEntry) {
  DiskBuilder d(8192);
  d.gpt({entry(test::kLinuxDataGuid, 40, 2087, u"swap"),
         entry(test::kBasicDataGuid, 2088, 4135, u"a"),
         entry(test::kBasicDataGuid, 4136, 6183, u"b")})
      .ntfs(2088, 2048)
      .ntfs(4136, 2048);
  WorkerControl control;
  control.requestStop();
  const Walk w = walk(d, true, &control);
  EXPECT_EQ(w.rc, 0);
  EXPECT_EQ(rows(w.records), (std::vector<Row>{{"swap", "0", 40}, {"NTFS", "1   MB", 2088}}));
}

TEST(PartitionWalk, AFailedReadEndsTheRunAndKeepsWhatWasFound) {
  const auto mbrDisk = [] {
    DiskBuilder d(2048);
    d.tableEntry(0, 0, 0x83, 100, 4096).tableEntry(0, 1, 0x07, 200, 4096);
    d.tableEntry(0, 2, 0x05, 1000, 1000).tableEntry(1000, 0, 0x83, 1, 2048);
    return d;
  };
  const auto gptDisk = [] {
    DiskBuilder d(2048);
    d.gpt(
        {entry(test::kLinuxDataGuid, 40, 100, u"a"), entry(test::kLinuxDataGuid, 200, 300, u"b")});
    return d;
  };
  const struct {
    const char *what;
    DiskBuilder disk;
    bool gptMode;
    std::set<std::uint64_t> bad;
    std::vector<std::uint64_t> starts;
  } cases[] = {
      {"the MBR", mbrDisk(), false, {0}, {}},
      {"the boot sector of a 0x07 entry", mbrDisk(), false, {200}, {100}},
      {"an extended boot record", mbrDisk(), false, {1000}, {100, 200}},
      {"GPT mode, sector 0 unreadable: the MBR walk fails too", gptDisk(), true, {0}, {}},
      {"the GPT entry array", gptDisk(), true, {3}, {}},
      {"a GPT partition's first sectors", gptDisk(), true, {203}, {40}},
  };
  for (const auto &c : cases) {
    test::FaultyReader reader(c.disk.bytes(), c.bad);
    const Walk w = walk(reader, c.gptMode);
    EXPECT_EQ(w.rc, EIO) << c.what;
    std::vector<std::uint64_t> starts;
    for (const VolumeRecord &r : w.records) {
      starts.push_back(r.startSector);
    }
    EXPECT_EQ(starts, c.starts) << c.what;
  }
}

} // namespace
} // namespace quillon
