// An NTFS volume made by mkntfs and filled through ntfs-3g (tests/fixtures/make_ntfs.sh) must
// list and save exactly what was put in: every live file with its path, size, bytes and
// modification time, deleted files as deleted, in standard, advanced and deep mode, and names
// from the volume never reach outside the output folder.
#include "core/json.h"
#include "core/output_files.h"
#include "support/cli_runner.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace quillon::test {
namespace {

constexpr std::uint64_t kVolumeStart = 2048;
constexpr std::uint64_t kVolumeEnd = 2048 + 32768 - 1;

struct ManifestFile {
  std::string path;
  std::uint64_t size = 0;
  std::string fingerprint;
  std::int64_t mtimeNs = 0;
};

struct ManifestDeleted {
  std::string path;
  bool folder = false;
};

std::string fromHex(const std::string &hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// One line of `--json` output: the flat object's values as text (strings unescaped).
using JsonLine = std::map<std::string, std::string>;

// Reads a JSON string starting at the opening quote; pos ends after the closing quote.
std::string readJsonString(const std::string &s, std::size_t &pos) {
  std::string out;
  ++pos;
  while (pos < s.size() && s[pos] != '"') {
    char c = s[pos++];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    c = s[pos++];
    switch (c) {
    case 'n':
      out.push_back('\n');
      break;
    case 't':
      out.push_back('\t');
      break;
    case 'r':
      out.push_back('\r');
      break;
    case 'b':
      out.push_back('\b');
      break;
    case 'f':
      out.push_back('\f');
      break;
    case 'u': {
      const auto cp = static_cast<std::uint32_t>(std::stoul(s.substr(pos, 4), nullptr, 16));
      pos += 4;
      if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
      } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      }
      break;
    }
    default:
      out.push_back(c);
    }
  }
  ++pos;
  return out;
}

JsonLine parseJsonLine(const std::string &line) {
  JsonLine fields;
  std::size_t pos = line.find('{');
  if (pos == std::string::npos) {
    return fields;
  }
  ++pos;
  while (pos < line.size() && line[pos] == '"') {
    const std::string key = readJsonString(line, pos);
    ++pos; // ':'
    std::string value;
    if (line[pos] == '"') {
      value = readJsonString(line, pos);
    } else {
      const std::size_t end = line.find_first_of(",}", pos);
      value = line.substr(pos, end - pos);
      pos = end;
    }
    fields[key] = value;
    if (line[pos] == ',') {
      ++pos;
    }
  }
  return fields;
}

// Entries of an `ls`/`search --json` output by path (the last entry of a path wins).
std::map<std::string, JsonLine> entriesByPath(const std::string &out) {
  std::map<std::string, JsonLine> entries;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    JsonLine fields = parseJsonLine(line);
    if (fields.contains("path")) {
      const std::string path = fields["path"];
      // A deleted and a live entry may share a path; keep the live one visible.
      if (!entries.contains(path) || fields["deleted"] == "false") {
        entries[path] = std::move(fields);
      }
    }
  }
  return entries;
}

std::string baseName(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where `save` puts a file of the volume: each name made a safe path component.
std::filesystem::path savedPath(const std::filesystem::path &out, const std::string &path) {
  std::filesystem::path p = out;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    p /= safeComponent(
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) {
      return p;
    }
    start = slash + 1;
  }
}

std::int64_t mtimeNs(const std::filesystem::path &p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

class Ntfs : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const std::string cmd = "tar -xJf '" + std::string(QUILLON_FIXTURES) + "/ntfs.tar.xz' -C '" +
                            dir_->path().string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(dir_->path() / "manifest.tsv");
    std::string line;
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::istringstream fields(line);
      for (std::string part; std::getline(fields, part, '\t');) {
        f.push_back(part);
      }
      if (f.size() == 5 && f[0] == "file") {
        files_.push_back({fromHex(f[1]), std::stoull(f[2]), f[3], std::stoll(f[4])});
      } else if (f.size() == 3 && f[0] == "deleted") {
        deleted_.push_back({fromHex(f[1]), f[2] == "folder"});
      }
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
    files_.clear();
    deleted_.clear();
  }
  static std::string disk() { return (dir_->path() / "ntfs-disk.raw").string(); }
  static std::vector<std::string> customVolume() {
    return {"--start", std::to_string(kVolumeStart), "--end", std::to_string(kVolumeEnd), "--fs",
            "NTFS"};
  }
  // A copy of the disk to damage.
  static std::string copyOfDisk(const TempDir &where) {
    const auto copy = where.path() / "copy.raw";
    std::filesystem::copy_file(disk(), copy);
    return copy.string();
  }
  static CliResult cli(std::vector<std::string> args) { return runProgram(QUILLON_CLI, args); }

  static TempDir *dir_;
  static std::vector<ManifestFile> files_;
  static std::vector<ManifestDeleted> deleted_;
};
TempDir *Ntfs::dir_ = nullptr;
std::vector<ManifestFile> Ntfs::files_;
std::vector<ManifestDeleted> Ntfs::deleted_;

TEST_F(Ntfs, StandardModeListsEveryFileWithPathSizeAndDeletedState) {
  ASSERT_GT(files_.size(), 150U);
  const CliResult r = cli({"ls", disk(), "--volume", "0", "--recursive", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto entries = entriesByPath(r.out);
  for (const ManifestFile &f : files_) {
    SCOPED_TRACE(f.path);
    const auto it = entries.find(f.path);
    ASSERT_NE(it, entries.end()) << "not listed";
    EXPECT_EQ(it->second.at("type"), "file");
    EXPECT_EQ(it->second.at("deleted"), "false");
    EXPECT_EQ(it->second.at("orphan"), "false");
    EXPECT_EQ(it->second.at("size"), std::to_string(f.size));
    EXPECT_EQ(it->second.at("modified").size(), 20U) << it->second.at("modified");
  }
  for (const ManifestDeleted &d : deleted_) {
    SCOPED_TRACE(d.path);
    const auto it = entries.find(d.path);
    ASSERT_NE(it, entries.end()) << "deleted entry not listed";
    EXPECT_EQ(it->second.at("deleted"), "true");
    EXPECT_EQ(it->second.at("type"), d.folder ? "folder" : "file");
  }

  // The custom volume over the same sectors lists the same, and so does the plain listing.
  std::vector<std::string> args = {"ls", disk(), "--recursive", "--json"};
  const auto custom = customVolume();
  args.insert(args.end(), custom.begin(), custom.end());
  const CliResult c = cli(args);
  ASSERT_EQ(c.exitCode, 0) << c.err;
  EXPECT_EQ(c.out, r.out);

  const CliResult docs = cli({"ls", disk(), "--volume", "0", "--path", "Docs"});
  ASSERT_EQ(docs.exitCode, 0) << docs.err;
  EXPECT_NE(docs.out.find("Docs/report.doc"), std::string::npos) << docs.out;
  EXPECT_NE(docs.out.find("Docs/deleted_note.txt  [deleted]"), std::string::npos) << docs.out;
  EXPECT_EQ(docs.out.find("Docs/Nested/"), std::string::npos) << "not recursive: " << docs.out;
}

TEST_F(Ntfs, SavingEverythingGivesIdenticalFilesWithTheirTimesAndLeavesTheImageAlone) {
  const std::string before = fileFingerprint(disk());
  TempDir out;
  const CliResult r = cli({"save", disk(), "--volume", "0", "--out", out.path().string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("number of files found inside this folder = "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Saving process done"), std::string::npos) << r.err;
  for (const ManifestFile &f : files_) {
    SCOPED_TRACE(f.path);
    const auto saved = savedPath(out.path(), f.path);
    ASSERT_TRUE(std::filesystem::is_regular_file(saved)) << saved;
    EXPECT_EQ(fileFingerprint(saved.string()), f.fingerprint);
    EXPECT_EQ(mtimeNs(saved), f.mtimeNs);
  }
  EXPECT_EQ(fileFingerprint(disk()), before) << "the image changed";
}

TEST_F(Ntfs, SavingOneFolderWritesItsContentsAndOneFileWritesThatFile) {
  TempDir folderOut;
  const CliResult folder =
      cli({"save", disk(), "--volume", "0", "--out", folderOut.path().string(), "--path", "Docs"});
  ASSERT_EQ(folder.exitCode, 0) << folder.err;
  EXPECT_FALSE(std::filesystem::exists(folderOut / "Docs")) << "the folder itself is not made";
  for (const ManifestFile &f : files_) {
    if (f.path.starts_with("Docs/")) {
      SCOPED_TRACE(f.path);
      EXPECT_EQ(fileFingerprint(savedPath(folderOut.path(), f.path.substr(5)).string()),
                f.fingerprint);
    }
  }

  TempDir fileOut;
  const CliResult file = cli({"save", disk(), "--volume", "0", "--out", fileOut.path().string(),
                              "--path", "Docs/Nested/photo.jpg"});
  ASSERT_EQ(file.exitCode, 0) << file.err;
  EXPECT_EQ(file.out, (fileOut / "photo.jpg").string() + "\n");
  std::size_t count = 0;
  for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(fileOut.path())) {
    ++count;
  }
  EXPECT_EQ(count, 1U);
}

TEST_F(Ntfs, SearchFindsFilesByPatternInFoldersNeverOpened) {
  const CliResult r = cli({"search", disk(), "--volume", "0", "report|xlsx", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto hits = entriesByPath(r.out);
  std::set<std::string> paths;
  for (const auto &[path, fields] : hits) {
    paths.insert(path);
  }
  EXPECT_EQ(paths, (std::set<std::string>{"$RECYCLE.BIN/S-1-5-21-1004/$I1A2B3C.xlsx",
                                          "$RECYCLE.BIN/S-1-5-21-1004/budget.xlsx",
                                          "Docs/old_report.txt", "Docs/report.doc"}))
      << r.out;
  EXPECT_NE(r.err.find("Searching Finished"), std::string::npos);

  // Case-sensitive, and "." is one character of the name, not one byte.
  const CliResult upper = cli({"search", disk(), "--volume", "0", "REPORT"});
  ASSERT_EQ(upper.exitCode, 0) << upper.err;
  EXPECT_EQ(upper.out.find("report"), std::string::npos) << upper.out;
  const CliResult wide = cli({"search", disk(), "--volume", "0", "^Ünïc.d", "--json"});
  ASSERT_EQ(wide.exitCode, 0) << wide.err;
  EXPECT_EQ(entriesByPath(wide.out).size(), 1U) << wide.out;
}

TEST_F(Ntfs, DeepModeFindsTheFilesWhenTheBootSectorIsZeroed) {
  TempDir work;
  const std::string damaged = copyOfDisk(work);
  {
    std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(kVolumeStart * 512));
    const std::string zeros(512, '\0');
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  std::vector<std::string> args = {"ls", damaged, "--mode", "deep", "--recursive", "--json"};
  const auto custom = customVolume();
  args.insert(args.end(), custom.begin(), custom.end());
  const CliResult r = cli(args);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::multimap<std::string, JsonLine> byName;
  for (const auto &[path, fields] : entriesByPath(r.out)) {
    byName.emplace(baseName(path), fields);
  }
  std::string reportPath;
  for (const ManifestFile &f : files_) {
    SCOPED_TRACE(f.path);
    const auto [first, last] = byName.equal_range(baseName(f.path));
    // Recycle Bin data files keep their stored names when the folder chain is lost.
    if (f.path.starts_with("$RECYCLE.BIN/") && f.path.find("/$I") == std::string::npos) {
      continue;
    }
    ASSERT_NE(first, last) << "not found in deep mode";
    bool sizeMatches = false;
    for (auto it = first; it != last; ++it) {
      sizeMatches = sizeMatches || it->second.at("size") == std::to_string(f.size);
      EXPECT_EQ(it->second.at("orphan"), "true");
      EXPECT_TRUE(it->second.at("path").starts_with("ORPHAN_ENTRY/")) << it->second.at("path");
      if (f.path == "Docs/report.doc") {
        reportPath = it->second.at("path");
      }
    }
    EXPECT_TRUE(sizeMatches);
  }

  // A file found in deep mode saves byte for byte.
  ASSERT_FALSE(reportPath.empty());
  TempDir out;
  args = {"save", damaged, "--mode", "deep", "--out", out.path().string(), "--path", reportPath};
  args.insert(args.end(), custom.begin(), custom.end());
  const CliResult saved = cli(args);
  ASSERT_EQ(saved.exitCode, 0) << saved.err;
  const auto report = std::find_if(files_.begin(), files_.end(), [](const ManifestFile &f) {
    return f.path == "Docs/report.doc";
  });
  EXPECT_EQ(fileFingerprint((out / "report.doc").string()), report->fingerprint);
}

TEST_F(Ntfs, AdvancedModeFindsTheMftCandidateAndListsTheSameFiles) {
  const CliResult candidates = cli({"candidates", disk(), "--volume", "0"});
  ASSERT_EQ(candidates.exitCode, 0) << candidates.err;
  EXPECT_NE(candidates.out.find("MFT_ENTRY:0"), std::string::npos) << candidates.out;
  EXPECT_EQ(candidates.out.find("MFT_ENTRY:1"), std::string::npos) << candidates.out;

  const CliResult standard = cli({"ls", disk(), "--volume", "0", "--recursive", "--json"});
  const CliResult advanced =
      cli({"ls", disk(), "--volume", "0", "--mode", "advanced", "--candidate", "0",
           "--sectors-per-cluster", "8", "--recursive", "--json"});
  ASSERT_EQ(advanced.exitCode, 0) << advanced.err;
  EXPECT_EQ(advanced.out, standard.out);

  const CliResult missing =
      cli({"ls", disk(), "--volume", "0", "--mode", "advanced", "--candidate", "4"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("no MFT candidate 4"), std::string::npos) << missing.err;
}

// Replaces every UTF-16LE occurrence of from (whose record stores its length in the byte two
// before the name) by to, which must not be longer. Returns the number of names changed.
int renameOnDisk(const std::string &image, const std::string &from, const std::string &to) {
  std::string bytes;
  {
    std::ifstream in(image, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string needle;
  for (const char c : from) {
    needle.push_back(c);
    needle.push_back('\0');
  }
  int changed = 0;
  for (std::size_t at = bytes.find(needle); at != std::string::npos;
       at = bytes.find(needle, at + 1)) {
    if (at < 2 || static_cast<unsigned char>(bytes[at - 2]) != from.size()) {
      continue; // not a $FILE_NAME value (an index key or a log record)
    }
    bytes[at - 2] = static_cast<char>(to.size());
    for (std::size_t i = 0; i < to.size(); ++i) {
      bytes[at + 2 * i] = to[i];
      bytes[at + 2 * i + 1] = '\0';
    }
    ++changed;
  }
  std::ofstream(image, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return changed;
}

TEST_F(Ntfs, NamesFromTheVolumeNeverReachOutsideTheOutputFolder) {
  TempDir work;
  const std::string image = copyOfDisk(work);
  ASSERT_GE(renameOnDisk(image, "HOSTILEDIR", ".."), 1);
  ASSERT_GE(renameOnDisk(image, "HOSTILEFILE.txt", "../../pwned.txt"), 1);

  const auto out = work.path() / "a" / "b" / "out";
  std::filesystem::create_directories(out);
  const CliResult r = cli({"save", image, "--volume", "0", "--out", out.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;

  // Nothing beside the output folder or above it.
  std::set<std::string> outside;
  for (const auto &e : std::filesystem::recursive_directory_iterator(work.path())) {
    const std::string p = e.path().string();
    if (!p.starts_with(out.string()) && e.path() != work.path() / "copy.raw" &&
        e.path() != work.path() / "a" && e.path() != work.path() / "a" / "b") {
      outside.insert(p);
    }
  }
  EXPECT_TRUE(outside.empty()) << *outside.begin();

  // The hostile file is still saved, under a harmless name inside the output folder.
  bool found = false;
  for (const auto &e : std::filesystem::recursive_directory_iterator(out)) {
    if (e.path().filename().string().find("pwned.txt") != std::string::npos) {
      found = true;
      EXPECT_EQ(readFileBytes(e.path()),
                std::vector<std::uint8_t>({'r', 'e', 'n', 'a', 'm', 'e', 'd', ' ', 'b', 'y',
                                           ' ', 't', 'h', 'e', ' ', 't', 'e', 's', 't', '\n'}));
    }
  }
  EXPECT_TRUE(found);
}

TEST_F(Ntfs, BadRequestsAreClearErrors) {
  const struct {
    std::vector<std::string> args;
    int exitCode;
    const char *err;
  } cases[] = {
      {{"search", disk(), "--volume", "0", "*.jpg"}, 2, "invalid pattern '*.jpg'"},
      {{"ls", disk(), "--volume", "7"}, 1, "no volume 7"},
      {{"ls", disk(), "--volume", "0", "--start", "2048"}, 2, "either --volume N"},
      {{"ls", disk(), "--start", "2048", "--end", "4000"}, 2, "needs --start, --end and --fs"},
      {{"ls", disk(), "--volume", "0", "--mode", "fast"}, 2, "--mode must be"},
      {{"ls", disk(), "--volume", "0", "--candidate", "1"}, 2, "go with --mode advanced"},
      {{"ls", disk(), "--volume", "0", "--path", "Docs/none.txt"}, 1, "no entry Docs/none.txt"},
      {{"save", disk(), "--volume", "0"}, 2, "usage: quillon-cli save"},
      {{"ls", disk(), "--start", "0", "--end", "2047", "--fs", "NTFS"},
       1,
       "cannot read the NTFS volume"},
      {{"ls", disk(), "--start", "2048", "--end", "34815", "--fs", "FAT32"},
       1,
       "cannot read the fat32 volume: its boot sector does not describe a fat32 volume"},
      {{"ls", disk(), "--start", "2048", "--end", "34815", "--fs", "HFS+"},
       1,
       "cannot read the HFS+ volume: no HFS+ file system was found on it"},
      {{"ls", disk(), "--start", "2048", "--end", "34815", "--fs", "EXTX", "--mode", "deep"},
       1,
       "ext volumes are read in the standard mode"},
  };
  for (const auto &c : cases) {
    const CliResult r = cli(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

} // namespace
} // namespace quillon::test
