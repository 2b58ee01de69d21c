// HFS+ volumes made by real tools, read at the engine level: two volumes written by macOS (shared
// test data, read from outside the repository and skipped when absent; what they hold was taken
// from sleuthkit's fls, icat and istat) and a hybrid ISO made by xorriso, whose HFS+ tree sits in
// an Apple partition (tests/fixtures/make_hfsplus.sh). Every file is listed under its path and
// saved byte-identical with its modification time, in both modes.
#include "hfs_harness.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace quillon::test {
namespace {

struct ExpectedFile {
  std::string path; // as sleuthkit prints it: control characters as '^'
  std::uint64_t size = 0;
  std::string fingerprint;
  std::int64_t mtime = 0;
};

const std::filesystem::path kSharedFixtures =
    std::filesystem::path(__FILE__).parent_path() / "../../../../../shared/fixtures/hfsplus";

// Our name of an entry as sleuthkit prints it: NULs (shown as U+2400) and other control
// characters become '^'.
std::string sleuthkitName(std::string name) {
  for (std::size_t at; (at = name.find("\u2400")) != std::string::npos;) {
    name.replace(at, 3, "^");
  }
  for (char &c : name) {
    if (static_cast<unsigned char>(c) < 0x20) {
      c = '^';
    }
  }
  return name;
}

// Lists and saves every file of the volume; the files and their bytes, sizes and times must be
// exactly the expected ones.
void expectFiles(HfsHarness &h, const std::vector<ExpectedFile> &expected) {
  std::map<std::string, ListedEntry> files;
  (void)listBelow(h.browser, ListedEntry{}, true, &h.control, [&](const ListedEntry &e) {
    if (!e.info.folder) {
      std::vector<std::string> names;
      for (const std::string &n : e.path) {
        names.push_back(sleuthkitName(n));
      }
      files.emplace(joinPath(names), e);
    }
  });
  std::set<std::string> wanted;
  for (const ExpectedFile &f : expected) {
    SCOPED_TRACE(f.path);
    wanted.insert(f.path);
    const auto it = files.find(f.path);
    ASSERT_NE(it, files.end());
    EXPECT_FALSE(it->second.info.deleted);
    EXPECT_EQ(h.browser.dataSize(it->second.record), f.size);
    TempDir out;
    const SaveOutcome saved = h.browser.saveFile(it->second.record, out.path());
    ASSERT_TRUE(saved.written) << saved.error;
    struct stat st {};
    ASSERT_EQ(::stat(saved.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, f.mtime);
    EXPECT_EQ(fnv1aHex(readFileBytes(saved.path)), f.fingerprint);
  }
  for (const auto &[path, entry] : files) {
    EXPECT_TRUE(wanted.contains(path)) << "unexpected file " << path;
  }
}

// The macOS volume, unpacked into a temporary folder; nullptr (and the test skipped) when the
// shared fixtures are not there.
std::unique_ptr<TempDir> unpackShared(const std::string &name) {
  const std::filesystem::path packed = kSharedFixtures / (name + ".gz");
  if (!std::filesystem::exists(packed)) {
    return nullptr;
  }
  auto dir = std::make_unique<TempDir>();
  const std::string cmd =
      "gzip -dc '" + packed.string() + "' > '" + (dir->path() / name).string() + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  return dir;
}

struct MacVolume {
  const char *file;
  std::uint64_t startSector;
  std::vector<ExpectedFile> files;
  std::vector<std::string> folders;
};

const std::vector<MacVolume> &macVolumes() {
  static const std::vector<MacVolume> volumes = {
      {"hfsplus.raw",
       0,
       {
           {".fseventsd/00000000171494cb", 161, "6119ce4ab82cccb2", 1642144786},
           {".fseventsd/00000000171494cc", 72, "1179c9bf98afb515", 1642144786},
           {".fseventsd/fseventsd-uuid", 36, "d00c65f216e864dd", 1642144786},
           {"a_directory/a_file", 53, "7dd7b41a1b7a8126", 1642144782},
           {"a_directory/a_resourcefork", 0, "cbf29ce484222325", 1642144782},
           {"a_directory/another_file", 22, "5bc0aa0b7152e572", 1642144782},
           {"a_link", 24, "969b3d5da8d71b73", 1642144782},
           {"passwords.txt", 116, "9eb83674bb4aa52b", 1642144782},
       },
       {".fseventsd", ".HFS+ Private Directory Data^", "a_directory", "^^^^HFS+ Private Data"}},
      // Hard links read their inode file; symbolic links hold their target.
      {"hfsplus-gpt.raw",
       9,
       {
           {"case_folding_µ", 0, "cbf29ce484222325", 1731856421},
           {"directory_symboliclink1", 30, "1039845e2f2fe651", 1731856442},
           {"emptyfile", 0, "cbf29ce484222325", 1731856420},
           {"file_hardlink1", 9, "f8610090a3d0957a", 1731856420},
           {"file_symboliclink1", 40, "97126cd50c6db0f7", 1731856442},
           {"file_symboliclink2", 35, "1d26030b9c3990a7", 1731856442},
           {"forward:slash", 0, "cbf29ce484222325", 1731856421},
           {"nfc_téstfilè", 0, "cbf29ce484222325", 1731856421},
           {"nfd_téstfilè", 0, "cbf29ce484222325", 1731856421},
           {"nfd_¾", 0, "cbf29ce484222325", 1731856421},
           {"nfkd_3⁄4", 0, "cbf29ce484222325", 1731856421},
           {"testdir1/large_xattr", 0, "cbf29ce484222325", 1731856421},
           {"testdir1/resourcefork1", 0, "cbf29ce484222325", 1731856421},
           {"testdir1/testfile1", 9, "f8610090a3d0957a", 1731856420},
           {"testdir1/xattr1", 0, "cbf29ce484222325", 1731856421},
           {"^^^^HFS+ Private Data/iNode21", 9, "f8610090a3d0957a", 1731856420},
       },
       {".HFS+ Private Directory Data^", "testdir1", "testdir1/xattr2", "^^^^HFS+ Private Data"}},
  };
  return volumes;
}

TEST(HfsFixture, VolumesWrittenByMacOs) {
  for (const MacVolume &v : macVolumes()) {
    SCOPED_TRACE(v.file);
    const auto dir = unpackShared(v.file);
    if (!dir) {
      GTEST_SKIP() << "no shared fixtures at " << kSharedFixtures;
    }
    for (const HfsScanMode mode : {HfsScanMode::Standard, HfsScanMode::Deep}) {
      HfsHarness h(readFileBytes(dir->path() / v.file), {"HFS+", "", "0", "1  MB", v.startSector});
      ASSERT_TRUE(h.scan(mode));
      expectFiles(h, v.files);
      std::set<std::string> folders;
      for (const std::string &p : h.listing()) {
        if (p.ends_with("/") && !p.starts_with("ORPHAN_ENTRY")) {
          folders.insert(sleuthkitName(p.substr(0, p.size() - 1)));
        }
      }
      EXPECT_EQ(folders, std::set<std::string>(v.folders.begin(), v.folders.end()));
    }
  }
}

// The xorriso image: the volume starts at the Apple_HFS partition, and its blocks are 2 KiB with
// 4 KiB catalog nodes.
TEST(HfsFixture, HybridIsoMadeByXorriso) {
  TempDir dir;
  const auto archive =
      std::filesystem::path(__FILE__).parent_path() / "../../../fixtures/hfsplus.tar.xz";
  const std::string cmd = "tar -xJf '" + archive.string() + "' -C '" + dir.path().string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream in(dir / "manifest.tsv");
  std::vector<ExpectedFile> expected;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string kind;
    std::getline(fields, kind, '\t');
    if (kind == "volume") {
      fields >> start >> end;
      continue;
    }
    ExpectedFile f;
    std::string size;
    std::string mtime;
    std::getline(fields, f.path, '\t');
    std::getline(fields, size, '\t');
    std::getline(fields, f.fingerprint, '\t');
    std::getline(fields, mtime, '\t');
    f.size = std::stoull(size);
    f.mtime = std::stoll(mtime);
    expected.push_back(f);
  }
  ASSERT_GT(expected.size(), 60U);
  ASSERT_NE(start, 0U);
  // A custom volume as the volume list builds it: its size in whole MiB from the sectors given.
  const VolumeRecord record{"HFS+", "", "custom", std::to_string((end - start + 1) / 2048), start};
  for (const HfsScanMode mode : {HfsScanMode::Standard, HfsScanMode::Deep}) {
    HfsHarness h(readFileBytes(dir / "hfsplus.iso"), record);
    ASSERT_TRUE(h.scan(mode));
    expectFiles(h, expected);
  }
}

} // namespace
} // namespace quillon::test
