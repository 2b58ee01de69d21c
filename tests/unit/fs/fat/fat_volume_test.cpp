// FAT16 and FAT32 volumes made by mkfs.fat and filled with mtools (tests/fixtures/make_fat.sh):
// every live file is listed under its path and saved byte-identical with its modification
// time; files deleted with mdel are listed as deleted under their full long names.
#include "fs/fat/fat16.h"
#include "fs/fat/fat32.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <sys/stat.h>

namespace quillon {
namespace {

struct Manifest {
  struct File {
    std::uint64_t size = 0;
    std::string fingerprint;
    std::int64_t mtime = 0;
  };
  std::map<std::string, File> files;
  std::vector<std::string> deleted;
};

class FatVolumeFixture : public ::testing::TestWithParam<bool> {
protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<test::TempDir>();
    const auto archive =
        std::filesystem::path(__FILE__).parent_path() / "../../../fixtures/fat.tar.xz";
    const std::string cmd =
        "tar -xJf '" + archive.string() + "' -C '" + dir_->path().string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(dir_->path() / "manifest.tsv");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string kind;
      std::string path;
      std::getline(fields, kind, '\t');
      std::getline(fields, path, '\t');
      if (kind == "deleted") {
        manifest_.deleted.push_back(path);
        continue;
      }
      Manifest::File f;
      std::string size;
      std::string mtime;
      std::getline(fields, size, '\t');
      std::getline(fields, f.fingerprint, '\t');
      std::getline(fields, mtime, '\t');
      f.size = std::stoull(size);
      f.mtime = std::stoll(mtime);
      manifest_.files[path] = f;
    }
  }
  static void TearDownTestSuite() { dir_.reset(); }

  static std::unique_ptr<test::TempDir> dir_;
  static Manifest manifest_;
};

std::unique_ptr<test::TempDir> FatVolumeFixture::dir_;
Manifest FatVolumeFixture::manifest_;

// Every live file of the manifest is found under its path and saved byte-identical with its
// modification time; every deleted one is listed as deleted.
void expectManifest(fat::FatVolume &volume, const Manifest &manifest) {
  std::map<std::string, const FatEntry *> live;
  std::map<std::string, const FatEntry *> deleted;
  for (const auto &e : volume.entries) {
    std::string path = e.name;
    for (std::uint32_t p = e.parentIndex; p != 0; p = volume.entries[p].parentIndex) {
      ASSERT_LT(p, e.selfIndex);
      path = volume.entries[p].name + "/" + path;
    }
    (e.deleted != 0 ? deleted : live)[path] = &e;
  }
  test::TempDir out;
  for (const auto &[path, expected] : manifest.files) {
    SCOPED_TRACE(path);
    const auto found = live.find(path);
    ASSERT_NE(found, live.end());
    EXPECT_EQ(found->second->fileSize, expected.size);
    std::string error;
    const auto saved = volume.saveEntryFile(*found->second, out.path(), &error);
    ASSERT_TRUE(saved) << error;
    struct stat st {};
    ASSERT_EQ(::stat(saved->c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, expected.mtime);
    EXPECT_EQ(test::fnv1aHex(test::readFileBytes(*saved)), expected.fingerprint);
  }
  for (const auto &path : manifest.deleted) {
    EXPECT_EQ(deleted.count(path), 1U) << path;
  }
}

TEST_P(FatVolumeFixture, ListsAndSavesWhatWasPutIn) {
  ::setenv("TZ", "UTC", 1);
  const bool fat32 = GetParam();
  ASSERT_FALSE(manifest_.files.empty());
  MemoryReader reader(test::readFileBytes(dir_->path() / (fat32 ? "f32.img" : "f16.img")));
  NullProgress progress;
  WorkerControl control;
  const VolumeRecord record{fat32 ? "FAT32" : "FAT16", "", "0", "40   MB", 0};
  Fat16Class f16(reader, progress, control, record);
  Fat32Class f32(reader, progress, control, record);
  fat::FatVolume &volume = fat32 ? static_cast<fat::FatVolume &>(f32) : f16;
  ASSERT_TRUE(fat32 ? f32.standardScan() : f16.standardScan());
  expectManifest(volume, manifest_);
}

// With the boot sector zeroed, the advanced mode finds the first table by its signature, the
// data area by the folders' "." slots, and the whole tree from the slots it finds.
TEST_P(FatVolumeFixture, AdvancedModeWithoutTheBootSector) {
  ::setenv("TZ", "UTC", 1);
  const bool fat32 = GetParam();
  std::vector<std::uint8_t> image =
      test::readFileBytes(dir_->path() / (fat32 ? "f32.img" : "f16.img"));
  std::fill_n(image.begin(), 512, 0);
  MemoryReader reader(std::move(image));
  RecordingProgress progress;
  WorkerControl control;
  const VolumeRecord record{fat32 ? "FAT32" : "FAT16", "", "0", "40   MB", 0};
  Fat16Class f16(reader, progress, control, record);
  Fat32Class f32(reader, progress, control, record);
  fat::FatVolume &volume = fat32 ? static_cast<fat::FatVolume &>(f32) : f16;
  ASSERT_FALSE(fat32 ? f32.readBootSector() : f16.readBootSector());
  const auto candidates = volume.findFatCandidates(0);
  ASSERT_EQ(candidates.size(), 2U); // the two copies of the table
  EXPECT_EQ(candidates[0], fat32 ? 32U * 512 : 2U * 512);
  ASSERT_TRUE(volume.advancedScan(0, fat32 ? 1 : 2));
  EXPECT_EQ(volume.entries.at(1).name, "ORPHAN ENTRY");
  expectManifest(volume, manifest_);
}

INSTANTIATE_TEST_SUITE_P(Fat, FatVolumeFixture, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Fat32" : "Fat16"; });

} // namespace
} // namespace quillon
