// Volumes made by the real tools, read through quillon-cli: FAT16 and FAT32 made by mkfs.fat and
// filled with mtools (tests/fixtures/make_fat.sh), exFAT made by mkfs.exfat and filled through
// the FUSE driver (make_exfat.sh), and ext2/ext3/ext4 made by mke2fs -d (make_ext.sh). Every
// live file is listed with its size and saved byte-identical with its modification time;
// deleted entries are listed as deleted under their full names. An HFS+ volume made by xorriso
// (make_hfsplus.sh) is read in the standard and the deep mode.
#include "support/cli_runner.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace quillon::test {
namespace {

struct VolumeFixture {
  const char *archive;
  const char *image;
  const char *fs;
  bool hexPaths;            // the manifest writes paths as hex bytes
  const char *advancedArgs; // how the advanced mode is told the cluster size
};

struct ManifestFile {
  std::string path;
  std::uint64_t size = 0;
  std::string fingerprint;
  std::int64_t mtime = 0;
};

std::string fromHex(const std::string &hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The value of "path" in one JSON line of ls (the paths here hold no escaped characters).
std::string jsonPath(const std::string &line) {
  const std::string key = "{\"path\":\"";
  if (!line.starts_with(key)) {
    return {};
  }
  return line.substr(key.size(), line.find('"', key.size()) - key.size());
}

class VolumeCli : public ::testing::TestWithParam<VolumeFixture> {
protected:
  void SetUp() override {
    const std::string cmd = "tar -xJf '" + std::string(QUILLON_FIXTURES) + "/" +
                            GetParam().archive + "' -C '" + dir_.path().string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(dir_ / "manifest.tsv");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string kind;
      std::string path;
      std::getline(fields, kind, '\t');
      std::getline(fields, path, '\t');
      if (GetParam().hexPaths) {
        path = fromHex(path);
      }
      if (kind == "deleted") {
        // An optional last field names the images that still hold the deleted name.
        std::string rest;
        std::string images;
        for (int i = 0; i < 3 && std::getline(fields, rest, '\t'); ++i) {
          images = rest;
        }
        if (images.find(".img") == std::string::npos ||
            images.find(GetParam().image) != std::string::npos) {
          deleted_.push_back(path);
        }
        continue;
      }
      if (kind == "volume") { // the volume's first and last sector on the image
        std::string last;
        std::getline(fields, last, '\t');
        start_ = path;
        end_ = last;
        continue;
      }
      if (kind != "file") {
        continue; // links and removed folders are not files to save
      }
      ManifestFile f;
      std::string size;
      std::string mtime;
      f.path = path;
      std::getline(fields, size, '\t');
      std::getline(fields, f.fingerprint, '\t');
      std::getline(fields, mtime, '\t');
      f.size = std::stoull(size);
      f.mtime = std::stoll(mtime);
      files_.push_back(f);
    }
    ASSERT_GE(files_.size(), 5U);
  }
  std::vector<std::string> volumeArgs(const char *command) const {
    const auto image = dir_ / GetParam().image;
    const auto sectors = std::filesystem::file_size(image) / 512;
    return {command,   image.string(),
            "--start", start_.empty() ? "0" : start_,
            "--end",   end_.empty() ? std::to_string(sectors - 1) : end_,
            "--fs",    GetParam().fs};
  }
  // ls and save with the given extra options: every live file is listed with its size and
  // saved byte-identical with its modification time; deleted entries are listed as deleted.
  void expectListedAndSaved(const std::vector<std::string> &extra) {
    auto args = volumeArgs("ls");
    args.insert(args.end(), {"--recursive", "--json"});
    args.insert(args.end(), extra.begin(), extra.end());
    const CliResult listed = runProgram(QUILLON_CLI, args);
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::multimap<std::string, std::string> lines;
    std::istringstream out(listed.out);
    for (std::string line; std::getline(out, line);) {
      lines.emplace(jsonPath(line), line);
    }
    const auto anyLine = [&](const std::string &path, const std::string &wanted) {
      const auto [first, last] = lines.equal_range(path);
      return std::any_of(first, last,
                         [&](const auto &l) { return l.second.find(wanted) != std::string::npos; });
    };
    for (const ManifestFile &f : files_) {
      EXPECT_TRUE(anyLine(
          f.path, "\"deleted\":false,\"orphan\":false,\"size\":" + std::to_string(f.size) + ","))
          << f.path;
    }
    for (const std::string &path : deleted_) {
      EXPECT_TRUE(anyLine(path, "\"deleted\":true")) << path;
    }

    TempDir saved;
    args = volumeArgs("save");
    args.insert(args.end(), {"--out", saved.path().string()});
    args.insert(args.end(), extra.begin(), extra.end());
    const CliResult save = runProgram(QUILLON_CLI, args);
    ASSERT_EQ(save.exitCode, 0) << save.err;
    for (const ManifestFile &f : files_) {
      const auto path = saved / f.path;
      EXPECT_EQ(fnv1aHex(readFileBytes(path)), f.fingerprint) << f.path;
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0) << f.path;
      EXPECT_EQ(st.st_mtime, f.mtime) << f.path;
    }
  }

  TempDir dir_;
  std::string start_; // from the manifest's "volume" line, when it has one
  std::string end_;
  std::vector<ManifestFile> files_;
  std::vector<std::string> deleted_;
};

TEST_P(VolumeCli, ListsAndSavesEveryFile) { expectListedAndSaved({}); }

// With the boot sector zeroed the standard mode refuses the volume; the advanced mode, told
// the table candidate and the cluster size, still lists and saves every file.
// HFS+'s deep mode finds the catalog's leaf nodes by scanning the volume.
class VolumeCliDeep : public VolumeCli {};

TEST_P(VolumeCliDeep, DeepModeFindsEveryFile) { expectListedAndSaved({"--mode", "deep"}); }

// The FAT family's advanced mode.
class VolumeCliAdvanced : public VolumeCli {};

TEST_P(VolumeCliAdvanced, AdvancedModeWithTheBootSectorZeroed) {
  {
    std::fstream image(dir_ / GetParam().image, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(512, '\0');
    image.write(zeros.data(), 512);
  }
  const CliResult standard = runProgram(QUILLON_CLI, volumeArgs("ls"));
  EXPECT_EQ(standard.exitCode, 1);
  const CliResult candidates = runProgram(QUILLON_CLI, volumeArgs("candidates"));
  ASSERT_EQ(candidates.exitCode, 0) << candidates.err;
  EXPECT_NE(candidates.out.find("_ENTRY:0 "), std::string::npos) << candidates.out;
  std::vector<std::string> extra{"--mode", "advanced", "--candidate", "0"};
  std::istringstream words(GetParam().advancedArgs);
  for (std::string w; words >> w;) {
    extra.push_back(w);
  }
  expectListedAndSaved(extra);
}

const VolumeFixture kFatFamily[] = {
    {"fat.tar.xz", "f16.img", "FAT16", false, "--sectors-per-cluster 2"},
    {"fat.tar.xz", "f32.img", "FAT32", false, "--sectors-per-cluster 1"},
    {"exfat.tar.xz", "exfat.img", "exFAT", true, "--sectors-per-cluster 8"},
};
const VolumeFixture kExt[] = {
    {"ext.tar.xz", "ext2.img", "ext2", false, nullptr},
    {"ext.tar.xz", "ext3.img", "ext3", false, nullptr},
    {"ext.tar.xz", "ext4.img", "ext4", false, nullptr},
    {"ext.tar.xz", "ext4-64k.img", "ext4", false, nullptr},
};

const VolumeFixture kHfs[] = {
    {"hfsplus.tar.xz", "hfsplus.iso", "HFS+", false, nullptr},
};

std::string fixtureName(const ::testing::TestParamInfo<VolumeFixture> &info) {
  std::string name = info.param.image;
  std::replace_if(
      name.begin(), name.end(),
      [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(FatFamily, VolumeCli, ::testing::ValuesIn(kFatFamily), fixtureName);
INSTANTIATE_TEST_SUITE_P(Ext, VolumeCli, ::testing::ValuesIn(kExt), fixtureName);
INSTANTIATE_TEST_SUITE_P(Hfs, VolumeCli, ::testing::ValuesIn(kHfs), fixtureName);
INSTANTIATE_TEST_SUITE_P(Hfs, VolumeCliDeep, ::testing::ValuesIn(kHfs), fixtureName);
INSTANTIATE_TEST_SUITE_P(FatFamily, VolumeCliAdvanced, ::testing::ValuesIn(kFatFamily),
                         fixtureName);

} // namespace
} // namespace quillon::test
