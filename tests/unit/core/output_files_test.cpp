// Safe names, folders, file times and the output file writer.
#include "core/output_files.h"

#include "core/text_convert.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    out += s;
  }
  return out;
}

TEST(OutputFiles, SafeComponentReplacesTrimsAndRefuses) {
  const struct {
    std::string name;
    std::string safe; // "" = refused
  } cases[] = {
      {"..", ""},
      {".", ""},
      {"", ""},
      {" \t ", ""},
      {" .. ", ""},
      {"a/b", "a_b"},
      {"a\\b", "a_b"},
      {"/etc/passwd", "_etc_passwd"},
      {"x\0y"s, "x_y"},
      {"\x01tab\x7f", "_tab_"},
      {"  report 2020.txt \t", "report 2020.txt"},
      {"...", "..."},
      {"..a", "..a"},
      {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(safeComponent(c.name), c.safe) << c.name;
    const fs::path folder = "/out/folder";
    const auto inside = pathInside(folder, c.name);
    if (c.safe.empty()) {
      EXPECT_FALSE(inside.has_value()) << c.name;
    } else {
      ASSERT_TRUE(inside.has_value()) << c.name;
      EXPECT_EQ(inside->parent_path(), folder) << c.name;
      EXPECT_EQ(inside->filename().string(), c.safe) << c.name;
    }
  }
}

TEST(OutputFiles, LongNamesKeepTheExtensionAndWholeCharacters) {
  const struct {
    std::string name;
    std::string_view ending;
  } cases[] = {
      {std::string(300, 'a') + ".txt", ".txt"},
      {repeat("\xc3\xa9", 200) + ".doc", ".doc"},          // two-byte characters
      {repeat("\xe2\x82\xac", 100), "\xe2\x82\xac"},       // three-byte, no extension
      {repeat("\xf0\x9f\x98\x80", 80) + ".jpeg", ".jpeg"}, // four-byte
      {"a." + std::string(300, 'b'), "b"},                 // an "extension" too long to keep
  };
  for (const auto &c : cases) {
    const std::string safe = safeComponent(c.name);
    EXPECT_LE(safe.size(), kMaxNameBytes);
    EXPECT_GE(safe.size(), kMaxNameBytes - 4);
    EXPECT_TRUE(isValidUtf8(safe));
    EXPECT_TRUE(safe.ends_with(c.ending)) << safe;
    EXPECT_EQ(safe.substr(0, 1), c.name.substr(0, 1));
  }
}

TEST(OutputFiles, WritesHolesAndSetsTimes) {
  test::TempDir dir;
  {
    test::writeFileText(dir / "f.bin", std::string(40000, 'o')); // longer: must be truncated
  }
  OutputFile out;
  ASSERT_TRUE(out.open(dir.path(), " f.bin ")) << out.error();
  EXPECT_EQ(out.path(), dir / "f.bin");
  const std::vector<std::uint8_t> abc{'a', 'b', 'c'}, z{'z'};
  ASSERT_TRUE(out.write(abc));
  ASSERT_TRUE(out.skipZeros(10000));
  ASSERT_TRUE(out.write(z));
  ASSERT_TRUE(out.skipZeros(5000)); // a hole at the end still counts
  const auto access = fileTimeFromFiletime(132000000001234567ULL);
  const auto modify = fileTimeFromFiletime(125000000000000009ULL);
  out.setTimes(access, modify);
  ASSERT_TRUE(out.close()) << out.error();

  // The times first: reading the file may move its access time.
  struct stat st {};
  ASSERT_EQ(::stat((dir / "f.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, modify->seconds);
  EXPECT_EQ(st.st_mtim.tv_nsec, 900);
  EXPECT_EQ(st.st_atim.tv_sec, access->seconds);
  EXPECT_EQ(st.st_atim.tv_nsec, 123456700);
  const auto bytes = test::readFileBytes(dir / "f.bin");
  ASSERT_EQ(bytes.size(), 15004u);
  EXPECT_EQ(bytes[0], 'a');
  EXPECT_EQ(bytes[10003], 'z');
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), 15000);
}

TEST(OutputFiles, RefusesWhatIsNotARegularFileInsideTheFolder) {
  test::TempDir dir;
  fs::create_directory(dir / "out");
  test::writeFileText(dir / "outside.txt", "keep");
  fs::create_symlink(dir / "outside.txt", dir / "out" / "planted");
  fs::create_directory(dir / "out" / "folder");
  ASSERT_EQ(::mkfifo((dir / "out" / "pipe").c_str(), 0644), 0);

  for (const char *name : {"planted", "folder", "pipe", "..", "."}) {
    OutputFile out;
    EXPECT_FALSE(out.open(dir / "out", name)) << name;
    EXPECT_FALSE(out.error().empty()) << name;
    EXPECT_FALSE(out.isOpen());
  }
  const auto kept = test::readFileBytes(dir / "outside.txt");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep");
  EXPECT_FALSE(OutputFile().open(dir / "missing", "a.txt"));
}

TEST(OutputFiles, FiletimeConversionAndPathTimes) {
  const std::uint64_t epoch = 116444736000000000ULL;
  const struct {
    std::uint64_t filetime;
    std::int64_t seconds;
    std::uint32_t nanoseconds;
  } cases[] = {
      {epoch, 0, 0},
      {epoch + 15, 0, 1500},
      {epoch - 1, -1, 999999900}, // just before 1970
      {1, -11644473600, 100},
  };
  for (const auto &c : cases) {
    const auto t = fileTimeFromFiletime(c.filetime);
    ASSERT_TRUE(t.has_value()) << c.filetime;
    EXPECT_EQ(t->seconds, c.seconds) << c.filetime;
    EXPECT_EQ(t->nanoseconds, c.nanoseconds) << c.filetime;
  }
  EXPECT_FALSE(fileTimeFromFiletime(0).has_value());
  EXPECT_FALSE(fileTimeFromFiletime(~0ULL).has_value());

  test::TempDir dir;
  test::writeFileText(dir / "t", "x");
  ASSERT_TRUE(setFileTimes(dir / "t", 1000000000, 1600000000));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "t").c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  ASSERT_TRUE(setFileTimes(dir / "t", std::nullopt, 1700000000)); // access left as it was
  ASSERT_TRUE(setFileTimesFromFiletime(dir / "t", 0, epoch + 20000000));
  ASSERT_EQ(::stat((dir / "t").c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_sec, 2);
  EXPECT_FALSE(setFileTimes(dir / "missing", 1, 1));
}

TEST(OutputFiles, FoldersStayInsideAndGetUniqueNames) {
  test::TempDir dir;
  std::string error;
  const auto made = makeFolderInside(dir.path(), " a/b ", &error);
  ASSERT_TRUE(made.has_value()) << error;
  EXPECT_EQ(*made, dir / "a_b");
  EXPECT_TRUE(fs::is_directory(*made));
  EXPECT_TRUE(makeFolderInside(dir.path(), "a_b").has_value()); // already there
  EXPECT_FALSE(makeFolderInside(dir.path(), "..", &error).has_value());

  fs::create_directory(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "link");
  EXPECT_FALSE(makeFolderInside(dir.path(), "link", &error).has_value());
  test::writeFileText(dir / "file", "x");
  EXPECT_FALSE(makeFolderInside(dir.path(), "file", &error).has_value());

  EXPECT_EQ(uniqueFolder(dir.path(), "new"), dir / "new");
  EXPECT_EQ(uniqueFolder(dir.path(), "real"), dir / "real1");
  EXPECT_EQ(uniqueFolder(dir.path(), "link"), dir / "link1"); // a dangling name counts too
  EXPECT_EQ(uniqueFolder(dir.path(), ".."), dir / "_");
}

} // namespace
} // namespace quillon
