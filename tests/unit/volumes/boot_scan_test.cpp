// The boot-sector scan: what it lists, the skip past listed volumes, the scan range and stopping.
#include "volumes/partition.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "support/disk_builder.h"

#include <gtest/gtest.h>

#include <functional>

namespace quillon {
namespace {

using test::DiskBuilder;

struct Row {
  std::string fsType;
  std::string size;
  std::uint64_t start;
  bool operator==(const Row &) const = default;
};

void PrintTo(const Row &r, std::ostream *os) {
  *os << "{" << r.fsType << ", \"" << r.size << "\", " << r.start << "}";
}

struct Scan {
  std::vector<Row> rows;
  std::vector<std::string> statuses;
  std::vector<std::uint64_t> positions;
};

struct ScanOptions {
  bool skip = true;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  WorkerControl *control = nullptr;
  std::function<void(const VolumeRecord &)> onFound = nullptr;
  Progress *progress = nullptr; // forwards to the recorder when set
};

Scan scan(const DiskBuilder &d, const ScanOptions &o = {}) {
  const auto reader = d.reader();
  RecordingProgress recorder;
  std::vector<VolumeRecord> records;
  Partition p(*reader, o.progress != nullptr ? *o.progress : recorder, records);
  p.skipFoundVolumes = o.skip;
  p.scanStartSector = o.start;
  p.scanEndSector = o.end;
  p.control = o.control;
  p.onVolumeFound = o.onFound;
  p.scanBootSectors();
  Scan s;
  for (const VolumeRecord &r : records) {
    s.rows.push_back({r.fsType, r.volumeSizeText, r.startSector});
  }
  s.statuses = recorder.statuses();
  s.positions = recorder.positions();
  if (o.progress == nullptr) {
    EXPECT_EQ(recorder.range(), (std::pair<std::uint64_t, std::uint64_t>{0, 1000}));
  }
  return s;
}

TEST(BootScan, ListsTheVolumesThatTheirToolsMake) {
  const struct {
    const char *what;
    std::function<void(DiskBuilder &)> build;
    Row row;
    const char *status;
  } cases[] = {
      {"mkfs.fat FAT16 with OEM mkfs.fat and a 16-bit total of 40960",
       [](DiskBuilder &d) { d.fat(2048, test::FatBoot{}); },
       {"FAT16", "20  MB", 2048},
       "found FAT 16..."},
      {"mkfs.fat FAT12",
       [](DiskBuilder &d) { d.fat(2048, test::mkfsFat12()); },
       {"FAT12", "1  MB", 2048},
       "found FAT 12..."},
      {"mkfs.fat FAT32",
       [](DiskBuilder &d) { d.fat(2048, test::mkfsFat32()); },
       {"FAT32", "64  MB", 2048},
       "found FAT 32..."},
      {"exFAT",
       [](DiskBuilder &d) { d.exfat(2048, 16384); },
       {"FAT64", "8  MB", 2048},
       "found FAT 64..."},
      {"NTFS",
       [](DiskBuilder &d) { d.ntfs(2048, 16383); },
       {"NTFS", "7   MB", 2048},
       "found NTFS 1..."},
  };
  for (const auto &c : cases) {
    DiskBuilder d(4096);
    c.build(d);
    const Scan s = scan(d);
    EXPECT_EQ(s.rows, std::vector<Row>{c.row}) << c.what;
    EXPECT_EQ(s.statuses, (std::vector<std::string>{"Scanning partition.....", c.status}))
        << c.what;
    ASSERT_FALSE(s.positions.empty());
    EXPECT_EQ(s.positions.back(), 1000U);
  }
}

TEST(BootScan, SkipsPastEachListedVolume) {
  // NTFS of 4096 sectors at 2048 keeps its backup boot sector at 6144; the next sector tested
  // after it is 6145, and after the 2048-sector exFAT there, 8194.
  DiskBuilder d(10240);
  test::FatBoot small = test::mkfsFat32();
  small.totalSectors32 = 1000; // under 1 MiB: shown, never listed
  d.ntfs(2048, 4096)
      .fat(4000, small)
      .ntfs(6144, 4096)
      .exfat(6145, 2048)
      .fat(8193, small)
      .fat(8194, small);

  const Scan skipping = scan(d);
  EXPECT_EQ(skipping.rows, (std::vector<Row>{{"NTFS", "2   MB", 2048}, {"FAT64", "1  MB", 6145}}));
  EXPECT_EQ(skipping.statuses,
            (std::vector<std::string>{"Scanning partition.....", "found NTFS 1...",
                                      "found FAT 64...", "found FAT 32..."}));

  const Scan everything = scan(d, {.skip = false});
  EXPECT_EQ(everything.rows,
            (std::vector<Row>{
                {"NTFS", "2   MB", 2048}, {"NTFS", "2   MB", 6144}, {"FAT64", "1  MB", 6145}}));
  EXPECT_EQ(everything.statuses,
            (std::vector<std::string>{"Scanning partition.....", "found NTFS 1...",
                                      "found FAT 32...", "found NTFS 2...", "found FAT 64...",
                                      "found FAT 32...", "found FAT 32..."}));
}

TEST(BootScan, HfsPlusVolumesStartTwoSectorsBeforeTheirHeader) {
  DiskBuilder d(4096);
  d.hfsPlus(1024, 4096, 512)                  // 2 MiB, header at 1026
      .hfsPlus(3000, 4096, 255)               // under 1 MiB
      .hfsPlus(3100, 0x80000000, 0xFFFFFFFF); // far over the largest size
  // A header in sector 1 would put its volume before the disk.
  std::copy_n(d.sectors(1026).begin(), 512, d.sectors(1).begin());

  const Scan s = scan(d, {.skip = false});
  EXPECT_EQ(s.rows, (std::vector<Row>{{"HFS+", "2  MB", 1024}}));
  EXPECT_EQ(s.statuses, (std::vector<std::string>{"Scanning partition.....", "found HFS+..."}));
}

TEST(BootScan, TheRangeDecidesWhichBlocksAreTested) {
  // From 3000 the blocks are [3000, 5048) and [5048, 7096); the second holds sector 6000 and is
  // tested whole, the third starts beyond it and is not read.
  DiskBuilder d(16384);
  for (const std::uint64_t s : {2999, 3000, 7095, 7096}) {
    d.ntfs(s, 2048);
  }
  const Scan ranged = scan(d, {.skip = false, .start = 3000, .end = 6000});
  EXPECT_EQ(ranged.rows, (std::vector<Row>{{"NTFS", "1   MB", 3000}, {"NTFS", "1   MB", 7095}}));

  EXPECT_TRUE(scan(d, {.start = 16384}).rows.empty());
  const Scan empty = scan(DiskBuilder(0));
  EXPECT_TRUE(empty.rows.empty());
  EXPECT_TRUE(empty.positions.empty());
}

// Forwards to a recorder and asks the scan to stop when it shows a given status.
class StopOnStatus final : public Progress {
public:
  StopOnStatus(RecordingProgress &inner, WorkerControl &control, std::string trigger)
      : inner_(inner), control_(control), trigger_(std::move(trigger)) {}
  void setStatus(std::string_view text) override {
    inner_.setStatus(text);
    if (text == trigger_) {
      control_.requestStop();
    }
  }
  void setSecondStatus(std::string_view text) override { inner_.setSecondStatus(text); }
  void setRange(std::uint64_t low, std::uint64_t high) override { inner_.setRange(low, high); }
  void setPosition(std::uint64_t position) override { inner_.setPosition(position); }
  MessageAnswer message(std::string_view text, std::string_view caption, MessageIcon icon,
                        MessageButtons buttons) override {
    return inner_.message(text, caption, icon, buttons);
  }

private:
  RecordingProgress &inner_;
  WorkerControl &control_;
  std::string trigger_;
};

TEST(BootScan, AStopEndsTheScanWithinOneSectorTest) {
  DiskBuilder d(4096);
  test::FatBoot small = test::mkfsFat32();
  small.totalSectors32 = 1000;
  d.fat(100, small).ntfs(101, 2048).ntfs(102, 2048);

  {
    // Stopped by an unlisted hit: the very next sector is not tested.
    WorkerControl control;
    RecordingProgress recorder;
    StopOnStatus progress(recorder, control, "found FAT 32...");
    std::vector<VolumeRecord> records;
    const auto reader = d.reader();
    Partition p(*reader, progress, records);
    p.control = &control;
    p.scanBootSectors();
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(recorder.statuses(),
              (std::vector<std::string>{"Scanning partition.....", "found FAT 32...",
                                        "Scanned Partitions"}));
  }
  {
    // Stopped from the row callback of a listed hit; a stop left from before the run is cleared.
    WorkerControl control;
    control.requestStop();
    const Scan s = scan(d, {.skip = false, .control = &control, .onFound = [&](const auto &) {
                              control.requestStop();
                            }});
    EXPECT_EQ(s.rows, (std::vector<Row>{{"NTFS", "1   MB", 101}}));
    EXPECT_EQ(s.statuses.back(), "Scanned Partitions");
  }
}

} // namespace
} // namespace quillon
