// ext2, ext3 and ext4 volumes made by mke2fs -d and changed by debugfs
// (tests/fixtures/make_ext.sh), read through the engine and ExtBrowser: every live file is
// listed under its path and saved byte-identical with its modification time by the shared
// folder save; what debugfs removed is listed as deleted, with its data where the removed record
// still names the inode.
#include "ext_harness.h"

#include "browse/save_folder.h"
#include "disk/memory_reader.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace quillon::test {
namespace {

struct Manifest {
  struct File {
    std::uint64_t size = 0;
    std::string fingerprint;
    std::int64_t mtime = 0;
    std::string keptOn; // deleted files: the volumes whose record still names the inode
  };
  std::map<std::string, File> files;
  std::map<std::string, std::string> links;
  std::map<std::string, File> deleted;
  std::vector<std::string> goneFolders;
};

std::vector<std::string> fields(const std::string &line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, '\t');) {
    out.push_back(f);
  }
  return out;
}

class ExtVolumeFixture : public ::testing::TestWithParam<const char *> {
protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    const auto archive =
        std::filesystem::path(__FILE__).parent_path() / "../../../fixtures/ext.tar.xz";
    const std::string cmd =
        "tar -xJf '" + archive.string() + "' -C '" + dir_->path().string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(dir_->path() / "manifest.tsv");
    for (std::string line; std::getline(in, line);) {
      const auto f = fields(line);
      if (f[0] == "file" && f.size() == 5) {
        manifest_.files[f[1]] = {std::stoull(f[2]), f[3], std::stoll(f[4]), ""};
      } else if (f[0] == "deleted" && f.size() == 5) {
        manifest_.deleted[f[1]] = {std::stoull(f[2]), f[3], 0, f[4]};
      } else if (f[0] == "link" && f.size() == 3) {
        manifest_.links[f[1]] = f[2];
      } else if (f[0] == "gone" && f.size() == 2) {
        manifest_.goneFolders.push_back(f[1]);
      }
    }
  }
  static void TearDownTestSuite() { dir_.reset(); }

  static std::unique_ptr<TempDir> dir_;
  static Manifest manifest_;
};

std::unique_ptr<TempDir> ExtVolumeFixture::dir_;
Manifest ExtVolumeFixture::manifest_;

TEST_P(ExtVolumeFixture, ListsSavesAndFindsTheDeleted) {
  const std::string image = GetParam();
  ASSERT_FALSE(manifest_.files.empty());
  ExtHarness h(std::make_unique<MemoryReader>(readFileBytes(dir_->path() / image)),
               {"extX", "", "0", "8   MB", 0});
  ASSERT_TRUE(h.scan());

  std::map<std::string, ItemData> liveFiles;
  std::map<std::string, ItemData> deleted;
  std::vector<std::string> deletedFolders;
  ASSERT_TRUE(listBelow(h.browser, ListedEntry{}, true, &h.control, [&](const ListedEntry &e) {
    const std::string path = joinPath(e.path);
    if (e.info.deleted) {
      (e.info.folder ? deletedFolders.push_back(path) : (void)deleted.emplace(path, e.record));
    } else if (!e.info.folder) {
      EXPECT_TRUE(liveFiles.emplace(path, e.record).second) << "listed twice: " << path;
    }
  }));

  // Exactly the files and links that were put in are live.
  std::vector<std::string> expected;
  for (const auto &[path, file] : manifest_.files) {
    expected.push_back(path);
  }
  for (const auto &[path, target] : manifest_.links) {
    expected.push_back(path);
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> listed;
  for (const auto &[path, record] : liveFiles) {
    listed.push_back(path);
  }
  EXPECT_EQ(listed, expected);

  // The shared folder save writes every file byte-identical with its modification time.
  const SaveReport report =
      saveFolder(h.browser, std::monostate{}, h.out.path(), h.progress, h.control);
  EXPECT_TRUE(report.failures.empty()) << report.failures.front();
  for (const auto &[path, file] : manifest_.files) {
    SCOPED_TRACE(path);
    const auto saved = h.out.path() / std::filesystem::u8path(path);
    EXPECT_EQ(h.browser.dataSize(liveFiles[path]), file.size);
    EXPECT_EQ(fnv1aHex(readFileBytes(saved)), file.fingerprint);
    struct stat st {};
    ASSERT_EQ(::stat(saved.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, file.mtime);
  }
  for (const auto &[path, target] : manifest_.links) {
    EXPECT_EQ(readFileBytes(h.out.path() / path), bytesOf(target)) << path;
  }

  // What debugfs removed is listed as deleted; its data comes back where the inode is named.
  for (const auto &[path, file] : manifest_.deleted) {
    SCOPED_TRACE(path);
    ASSERT_EQ(deleted.count(path), 1U);
    if (file.keptOn.find(image) == std::string::npos) {
      continue;
    }
    EXPECT_EQ(h.browser.dataSize(deleted[path]), file.size);
    const SaveOutcome saved = h.browser.saveFile(deleted[path], h.out.path() / "lost+found");
    ASSERT_TRUE(saved.written) << saved.error;
    EXPECT_EQ(fnv1aHex(readFileBytes(saved.path)), file.fingerprint);
  }
  for (const auto &folder : manifest_.goneFolders) {
    EXPECT_NE(std::find(deletedFolders.begin(), deletedFolders.end(), folder), deletedFolders.end())
        << folder;
  }
}

INSTANTIATE_TEST_SUITE_P(Ext, ExtVolumeFixture,
                         ::testing::Values("ext2.img", "ext3.img", "ext4.img", "ext4-64k.img"),
                         [](const auto &info) {
                           std::string name = info.param;
                           name.erase(name.find('.'));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

} // namespace
} // namespace quillon::test
