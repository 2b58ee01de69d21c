// FAT16 and FAT32 volumes made by mkfs.fat and filled with mtools (tests/fixtures/make_fat.sh),
// read through quillon-cli: every live file is listed with its size and saved byte-identical
// with its modification time; the files removed with mdel are listed as deleted.
#include "support/cli_runner.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace quillon::test {
namespace {

struct ManifestFile {
  std::string path;
  std::uint64_t size = 0;
  std::string fingerprint;
  std::int64_t mtime = 0;
};

class FatCli : public ::testing::TestWithParam<const char *> {
protected:
  void SetUp() override {
    const std::string cmd = "tar -xJf '" + std::string(QUILLON_FIXTURES) + "/fat.tar.xz' -C '" +
                            dir_.path().string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(dir_ / "manifest.tsv");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string kind;
      std::getline(fields, kind, '\t');
      if (kind == "deleted") {
        std::string path;
        std::getline(fields, path, '\t');
        deleted_.push_back(path);
        continue;
      }
      ManifestFile f;
      std::string size;
      std::string mtime;
      std::getline(fields, f.path, '\t');
      std::getline(fields, size, '\t');
      std::getline(fields, f.fingerprint, '\t');
      std::getline(fields, mtime, '\t');
      f.size = std::stoull(size);
      f.mtime = std::stoll(mtime);
      files_.push_back(f);
    }
    ASSERT_GT(files_.size(), 100U);
  }
  // The image name and the volume options for it.
  std::vector<std::string> volumeArgs(const char *command) const {
    const std::string image = std::string(GetParam()) == "FAT16" ? "f16.img" : "f32.img";
    const auto sectors = std::filesystem::file_size(dir_ / image) / 512;
    return {command, (dir_ / image).string(),     "--start", "0",
            "--end", std::to_string(sectors - 1), "--fs",    GetParam()};
  }
  TempDir dir_;
  std::vector<ManifestFile> files_;
  std::vector<std::string> deleted_;
};

TEST_P(FatCli, ListsAndSavesEveryFile) {
  auto args = volumeArgs("ls");
  args.insert(args.end(), {"--recursive", "--json"});
  const CliResult listed = runProgram(QUILLON_CLI, args);
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  for (const ManifestFile &f : files_) {
    EXPECT_NE(listed.out.find("{\"path\":\"" + f.path + "\",\"type\":\"file\",\"deleted\":false," +
                              "\"orphan\":false,\"size\":" + std::to_string(f.size) + ","),
              std::string::npos)
        << f.path;
  }
  for (const std::string &path : deleted_) {
    EXPECT_NE(listed.out.find("{\"path\":\"" + path + "\",\"type\":\"file\",\"deleted\":true"),
              std::string::npos)
        << path;
  }

  TempDir out;
  args = volumeArgs("save");
  args.insert(args.end(), {"--out", out.path().string()});
  const CliResult saved = runProgram(QUILLON_CLI, args);
  ASSERT_EQ(saved.exitCode, 0) << saved.err;
  for (const ManifestFile &f : files_) {
    const auto path = out / f.path;
    EXPECT_EQ(fnv1aHex(readFileBytes(path)), f.fingerprint) << f.path;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << f.path;
    EXPECT_EQ(st.st_mtime, f.mtime) << f.path;
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, FatCli, ::testing::Values("FAT16", "FAT32"));

} // namespace
} // namespace quillon::test
