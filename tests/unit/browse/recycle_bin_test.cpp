// Recycle Bin index files and the renaming of the data files they describe.
#include "browse/recycle_bin.h"
#include "browse/tree_growth.h"
#include "support/fake_browser.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

std::string indexFile(std::uint64_t version, const std::u16string &path, std::size_t padTo = 0) {
  std::string bytes;
  auto put = [&](std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) {
      bytes.push_back(static_cast<char>(v >> (8 * i)));
    }
  };
  put(version, 8);
  put(1234, 8);
  put(132000000000000000ULL, 8);
  if (version == 2) {
    put(path.size() + 1, 4);
  }
  for (const char16_t c : path) {
    put(c, 2);
  }
  put(0, 2);
  if (bytes.size() < padTo) {
    bytes.resize(padTo, '\0');
  }
  return bytes;
}

Bytes asBytes(const std::string &s) {
  return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

TEST(RecycleBin, BothIndexLayoutsGiveTheOriginalName) {
  EXPECT_EQ(recycleBinOriginalName(asBytes(indexFile(1, u"C:\\Users\\ann\\letter.txt", 544))),
            "letter.txt");
  EXPECT_EQ(recycleBinOriginalName(asBytes(indexFile(2, u"C:\\data\\Grüße.xlsx"))), "Grüße.xlsx");
  EXPECT_EQ(recycleBinOriginalName(asBytes(indexFile(2, u"no-backslash"))), "no-backslash");
  // Truncated files, a path ending in a backslash, a length past the end.
  EXPECT_FALSE(recycleBinOriginalName(asBytes(std::string(20, '\0'))).has_value());
  EXPECT_FALSE(recycleBinOriginalName(asBytes(indexFile(1, u"C:\\dir\\"))).has_value());
  std::string lying = indexFile(2, u"C:\\x\\abc");
  lying[24] = '\x7f';
  EXPECT_EQ(recycleBinOriginalName(asBytes(lying)), "abc");
}

TEST(RecycleBin, DataFilesGetTheirNamesBackInTopLevelBinsOnly) {
  FakeBrowser fs;
  const auto bin = fs.folder(-1, "$RECYCLE.BIN");
  const auto user = fs.folder(bin, "S-1-5-21-1");
  const auto data = fs.file(user, "$RAB12.txt", "content");
  fs.file(user, "$IAB12.txt", indexFile(2, u"C:\\Users\\ann\\notes.txt"));
  const auto big = fs.file(user, "$RBIG.txt", "big");
  fs.file(user, "$IBIG.txt", indexFile(2, u"C:\\x\\big.txt", 4000)); // over 2047 bytes
  const auto other = fs.folder(-1, "Other");
  const auto notBin = fs.file(fs.folder(other, "u"), "$RAB12.txt");

  ItemTree tree;
  const ItemHandle root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
  for (const ItemData &top : fs.children(ItemData{})) {
    insertRecordItem(fs, tree, root, top, true);
  }
  EXPECT_EQ(renameRecycleBinFiles(fs, tree), 1U);
  EXPECT_EQ(fs.at(data).name, "notes.txt");
  EXPECT_EQ(fs.at(big).name, "$RBIG.txt");
  EXPECT_EQ(fs.at(notBin).name, "$RAB12.txt");
  EXPECT_EQ(tree.text(tree.children(root)[0]), "$RECYCLE.BIN");
}

} // namespace
} // namespace quillon::test
