// Every container made from one raw disk by qemu-img must read back as that disk, byte for
// byte, through `quillon-cli image`; and no command may change an image file.
#include "support/cli_runner.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace quillon::test {
namespace {

class Containers : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const std::string cmd = "tar -xJf '" + std::string(QUILLON_FIXTURES) +
                            "/containers.tar.xz' -C '" + dir_->path().string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string at(const std::string &name) { return (dir_->path() / name).string(); }
  static TempDir *dir_;
};
TempDir *Containers::dir_ = nullptr;

struct ContainerCase {
  const char *file;
  std::vector<std::string> options;
  const char *container; // the `info` line that names the reader
};

const std::vector<ContainerCase> &containerCases() {
  static const std::vector<ContainerCase> cases = {
      {"sparse.vmdk", {}, "VMDK sparse"},
      {"stream.vmdk", {}, "VMDK stream-optimized sparse"},
      {"flat.vmdk", {}, "VMDK descriptor (monolithicFlat)"},
      {"split-sparse.vmdk", {}, "VMDK descriptor (twoGbMaxExtentSparse)"},
      {"split-flat.vmdk", {}, "VMDK descriptor (twoGbMaxExtentFlat)"},
      {"pieces.vmdk", {"--type", "vmdk", "--descriptor"}, "VMDK descriptor (twoGbMaxExtentFlat)"},
      {"split-sparse-s001.vmdk", {"--type", "vmdk", "--split"}, "VMDK numbered extents"},
      {"split-flat-f001.vmdk", {"--split", "--extent-type", "FLAT"}, "VMDK numbered extents"},
      {"dynamic.vhd", {"--type", "vhd"}, "VHD dynamic"},
      {"fixed.vhd", {}, "VHD fixed"},
      {"dynamic.vdi", {}, "VDI dynamic"},
      {"fixed.vdi", {"--type", "vdi"}, "VDI fixed"},
      {"disk.raw", {"--type", "vmdk", "--extent-type", "FLAT"}, "VMDK flat"},
  };
  return cases;
}

TEST_F(Containers, EveryContainerReadsBackAsTheRawDisk) {
  const std::vector<std::uint8_t> raw = readFileBytes(at("disk.raw"));
  ASSERT_EQ(raw.size(), 12U << 20);
  for (const ContainerCase &c : containerCases()) {
    SCOPED_TRACE(c.file);
    std::vector<std::string> args = {"info", at(c.file)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CliResult info = runProgram(QUILLON_CLI, args);
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find(std::string("container:    ") + c.container + "\n"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("disk size:    24576 sectors (12.00 MB)"), std::string::npos)
        << info.out;

    TempDir out;
    args = {"image", at(c.file), "--out", out.path().string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CliResult saved = runProgram(QUILLON_CLI, args);
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    const std::string expected = (out.path() / (std::string(c.file) + ".img")).string();
    EXPECT_EQ(saved.out, expected + "\n");
    EXPECT_TRUE(readFileBytes(expected) == raw) << "the copy differs from the raw disk";
  }
}

TEST_F(Containers, NoCommandChangesTheImageFiles) {
  std::map<std::string, std::string> before;
  for (const auto &e : std::filesystem::directory_iterator(dir_->path())) {
    before[e.path().string()] = fileFingerprint(e.path().string());
  }
  TempDir out;
  for (const ContainerCase &c : containerCases()) {
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"info"},
                                               {"volumes"},
                                               {"volumes", "--gpt"},
                                               {"volumes", "--scan", "--no-skip"},
                                               {"image", "--out", out.path().string()}}) {
      args.insert(args.begin() + 1, at(c.file));
      args.insert(args.end(), c.options.begin(), c.options.end());
      const CliResult r = runProgram(QUILLON_CLI, args);
      EXPECT_EQ(r.exitCode, 0) << c.file << " " << args[0] << ": " << r.err;
    }
  }
  for (const auto &[path, fingerprint] : before) {
    EXPECT_EQ(fileFingerprint(path), fingerprint) << path << " changed";
  }
}

TEST_F(Containers, VolumesOfTheFixtureDisk) {
  const CliResult r = runProgram(QUILLON_CLI, {"volumes", at("sparse.vmdk"), "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "{\"number\":\"0\",\"fsType\":\"FAT16\",\"volumeSizeText\":\"3   MB\","
                   "\"startSector\":2048}\n"
                   "{\"number\":\"1\",\"fsType\":\"NTFS\",\"volumeSizeText\":\"2   MB\","
                   "\"startSector\":10240}\n"
                   "{\"number\":\"2\",\"fsType\":\"extX\",\"volumeSizeText\":\"4   MB\","
                   "\"startSector\":16384}\n");
  const CliResult scan = runProgram(QUILLON_CLI, {"volumes", at("dynamic.vdi"), "--scan"});
  ASSERT_EQ(scan.exitCode, 0) << scan.err;
  EXPECT_NE(scan.out.find("FAT16"), std::string::npos) << scan.out;
  EXPECT_NE(scan.out.find("NTFS"), std::string::npos) << scan.out;
}

TEST_F(Containers, BadInputIsAClearErrorWithExitCodes) {
  const struct {
    std::vector<std::string> args;
    int exitCode;
    const char *err;
  } cases[] = {
      {{"info"}, 2, "quillon-cli: info: usage: quillon-cli info IMAGE"},
      {{"volumes", at("sparse.vmdk"), "--bogus"}, 2, "unknown option --bogus"},
      {{"volumes", at("sparse.vmdk"), "--from", "5"}, 2, "go with --scan"},
      {{"volumes", at("sparse.vmdk"), "--scan", "--from", "x"}, 2, "non-negative number"},
      {{"info", at("missing.vmdk")}, 1, "quillon-cli: cannot open"},
      {{"info", at("sparse.vmdk"), "--type", "vhd"}, 1, "not a vhd file"},
      {{"info", at("flat.vmdk"), "--type", "vmdk", "--split"}, 1, "Possibly not a split file"},
      {{"frobnicate"}, 2, "unknown command"},
  };
  for (const auto &c : cases) {
    const CliResult r = runProgram(QUILLON_CLI, c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

} // namespace
} // namespace quillon::test
