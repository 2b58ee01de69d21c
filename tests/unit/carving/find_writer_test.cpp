// Writing finds: category folders, names from the tree, the volume's bytes cut at its end, the
// checked-or-all choice, unsafe category names, and a stop part-way through.
#include "carving/find_writer.h"
#include "carving_fixtures.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <random>

namespace quillon {
namespace {

using test::engineWith;
using test::kJpegStart;
using test::VolumeImage;

constexpr std::uint64_t kMiB = 1 << 20;

SignatureFields rule(const char *ext, const char *signature, const char *approx,
                     const char *category) {
  SignatureFields f;
  f.extension = ext;
  f.startSignature = signature;
  f.approxSize = approx;
  f.category = category;
  return f;
}

struct Carved {
  std::unique_ptr<myJpg> engine;
  VolumeImage image;
  MemoryBytes bytes;
  ItemTree tree;
  RecordingProgress progress;
  WorkerControl control;

  Carved(std::unique_ptr<myJpg> e, VolumeImage img)
      : engine(std::move(e)), image(std::move(img)), bytes(image.memory()) {
    engine->carve(tree, bytes, progress, control);
  }
  std::vector<std::uint8_t> slice(std::uint64_t start, std::uint64_t size) const {
    const auto &b = image.bytes();
    return {b.begin() + static_cast<std::ptrdiff_t>(start),
            b.begin() + static_cast<std::ptrdiff_t>(start + size)};
  }
  ItemHandle item(const std::string &text) const {
    for (ItemHandle h = 0; h < tree.handleCount(); ++h) {
      if (tree.text(h) == text) {
        return h;
      }
    }
    return kNoItem;
  }
};

VolumeImage randomVolume(std::uint64_t size) {
  VolumeImage image(size);
  std::mt19937 rng(5);
  std::vector<std::uint8_t> noise(size);
  for (auto &b : noise) {
    b = static_cast<std::uint8_t>(rng() % 128); // no byte of 0x80 or more: no stray starts
  }
  image.put(0, noise);
  return image;
}

TEST(FindWriter, WritesEachFindIntoItsCategoryFolderCutAtTheVolumeEnd) {
  const std::uint64_t size = kMiB + 1000;
  VolumeImage image = randomVolume(size);
  image.put(4096, kJpegStart).put(kMiB, kJpegStart);
  image.put(8192, {0x25, 0x50, 0x44, 0x46}).put(9216, {0xAA, 0xBB}).put(10240, {0xCC, 0xDD});
  Carved c(engineWith({rule("jpg", "FF,D8,FF", "3000", "Images"),
                       rule("pdf", "25,50,44,46", "700", "../Docs"), rule("bin", "AA,BB", "10", ""),
                       rule("dat", "CC,DD", "10", "..")},
                      size),
           image);
  test::TempDir out;
  WorkerControl control;
  const FindWriteReport report =
      writeFinds(*c.engine, c.tree, c.engine->topItem, c.bytes, out.path(), c.progress, control,
                 FindSelection::All, true);
  EXPECT_EQ(report.counted, 5U);
  EXPECT_EQ(report.written, 5U);
  EXPECT_EQ(report.cut, 1U);
  EXPECT_TRUE(report.failures.empty());
  EXPECT_EQ(c.progress.messages().back().text, "Saving process done");

  EXPECT_EQ(test::readFileBytes(out / "Images" / "4096 .jpg"), c.slice(4096, 3000));
  // 3000 bytes asked for, 1000 left on the volume.
  EXPECT_EQ(test::readFileBytes(out / "Images" / "1048576 .jpg"), c.slice(kMiB, 1000));
  // A category that is not a safe folder name is made one; none at all is "No category".
  EXPECT_EQ(test::readFileBytes(out / ".._Docs" / "8192 .pdf"), c.slice(8192, 700));
  EXPECT_EQ(test::readFileBytes(out / "No category" / "9216 .bin"), c.slice(9216, 10));
  EXPECT_EQ(test::readFileBytes(out / "No category" / "10240 .dat"), c.slice(10240, 10));
}

TEST(FindWriter, WritesTheCheckedFindsOrAllWhenNoneIsChecked) {
  VolumeImage image = randomVolume(kMiB);
  image.put(0, kJpegStart).put(512, kJpegStart).put(1024, kJpegStart);
  Carved c(engineWith({rule("jpg", "FF,D8,FF", "100", "Images")}, kMiB), image);
  const ItemHandle category = c.item("Images (3)");
  ASSERT_NE(category, kNoItem);
  EXPECT_EQ(findItemsBelow(*c.engine, c.tree, category, FindSelection::CheckedOrAll).size(), 3U);
  c.tree.setChecked(c.item("512 .jpg"), true);
  EXPECT_EQ(findItemsBelow(*c.engine, c.tree, c.engine->topItem, FindSelection::CheckedOrAll),
            (std::vector<ItemHandle>{c.item("512 .jpg")}));
  EXPECT_EQ(findItemsBelow(*c.engine, c.tree, category, FindSelection::All).size(), 3U);
  // One find on its own.
  EXPECT_EQ(findItemsBelow(*c.engine, c.tree, c.item("1024 .jpg"), FindSelection::CheckedOrAll),
            (std::vector<ItemHandle>{c.item("1024 .jpg")}));
}

// Asks for a stop (and a pause, which the stop must release) once the first piece is read.
class StopAfterFirstRead final : public VolumeBytes {
public:
  StopAfterFirstRead(VolumeBytes &inner, WorkerControl &control)
      : inner_(inner), control_(control) {}
  bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    control_.pause();
    control_.requestStop();
    return inner_.read(offset, out);
  }

private:
  VolumeBytes &inner_;
  WorkerControl &control_;
};

TEST(FindWriter, AStopLeavesNoHalfWrittenFile) {
  const std::uint64_t size = 4 * kMiB;
  VolumeImage image = randomVolume(size);
  image.put(0, kJpegStart).put(3 * kMiB, kJpegStart);
  Carved c(engineWith({rule("jpg", "FF,D8,FF", "3000000", "Images")}, size), image);
  test::TempDir out;
  WorkerControl control;
  StopAfterFirstRead stopping(c.bytes, control);
  const FindWriteReport report =
      writeFinds(*c.engine, c.tree, c.engine->topItem, stopping, out.path(), c.progress, control,
                 FindSelection::All, false);
  EXPECT_TRUE(report.stopped);
  EXPECT_EQ(report.written, 0U);
  EXPECT_TRUE(std::filesystem::is_directory(out / "Images"));
  EXPECT_FALSE(std::filesystem::exists(out / "Images" / "0 .jpg"));
  EXPECT_FALSE(std::filesystem::exists(out / "Images" / "3145728 .jpg"));
}

} // namespace
} // namespace quillon
