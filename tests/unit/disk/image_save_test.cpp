// The disk-image save: output naming, chunked copy with its texts, stop, and the free-space
// refusal that leaves nothing behind.
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/image_save.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace quillon::test {
namespace {

ReaderChoice flat() {
  ReaderChoice c;
  c.type = ImageType::Vmdk;
  c.extentType = "FLAT";
  return c;
}

std::vector<std::uint8_t> patternDisk(std::size_t bytes) {
  std::vector<std::uint8_t> d(bytes, 0);
  // Data at the start, a hole of zeros, and data up to the very last byte.
  for (std::size_t i = 0; i < 3 * 1024 * 1024; ++i) {
    d[i] = static_cast<std::uint8_t>(i % 251 + 1);
  }
  for (std::size_t i = bytes - 4096; i < bytes; ++i) {
    d[i] = static_cast<std::uint8_t>(i % 13 + 1);
  }
  return d;
}

TEST(ImageSave, OutputNameSkipsExistingFiles) {
  TempDir dir;
  EXPECT_EQ(imageOutputPath(dir.path(), "/images/disk.vmdk"), dir / "disk.vmdk.img");
  writeFileText(dir / "disk.vmdk.img", "x");
  EXPECT_EQ(imageOutputPath(dir.path(), "/images/disk.vmdk"), dir / "1disk.vmdk.img");
  writeFileText(dir / "1disk.vmdk.img", "x");
  EXPECT_EQ(imageOutputPath(dir.path(), "/images/disk.vmdk"), dir / "2disk.vmdk.img");
  EXPECT_EQ(imageOutputPath(dir.path(), ""), dir / "Recovered_diskimg.img");
}

TEST(ImageSave, CopiesTheWholeDiskInChunksWithItsTexts) {
  TempDir dir;
  const auto disk = patternDisk(12U << 20);
  writeFileBytes(dir / "disk.raw", disk);
  RecordingProgress rec;
  WorkerControl control;
  const ImageSaveResult r = saveDiskImage(flat(), dir / "disk.raw", dir / "out.img", rec, control);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.written, 12U << 20);
  EXPECT_TRUE(readFileBytes(dir / "out.img") == disk);
  EXPECT_EQ(rec.statuses(),
            (std::vector<std::string>{"5 MB of 12 MB or 0.004883 GB of 0.011719 GB Saved",
                                      "10 MB of 12 MB or 0.009766 GB of 0.011719 GB Saved",
                                      "12 MB of 12 MB or 0.011719 GB of 0.011719 GB Saved",
                                      kImageSavedText}));
  EXPECT_EQ(rec.range(), std::make_pair(std::uint64_t{0}, std::uint64_t{24576}));
  EXPECT_EQ(rec.positions(), (std::vector<std::uint64_t>{0, 20480}));
  // The reader is released when the save ends.
  EXPECT_EQ(activeReader, nullptr);
  EXPECT_EQ(diskSectorCount, 0U);
  EXPECT_FALSE(imageSaveActive);
}

TEST(ImageSave, StopAfterTheFirstChunk) {
  TempDir dir;
  writeFileBytes(dir / "disk.raw", patternDisk(12U << 20));
  RecordingProgress rec;
  WorkerControl control;
  control.requestStop(); // seen after the first chunk
  const ImageSaveResult r = saveDiskImage(flat(), dir / "disk.raw", dir / "out.img", rec, control);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(std::filesystem::file_size(dir / "out.img"), 5U << 20);
  EXPECT_EQ(rec.statuses().back(), kImageSavedText);
}

TEST(ImageSave, NotEnoughSpaceRefusesBeforeWritingAndLeavesNoFile) {
  TempDir dir;
  writeFileBytes(dir / "disk.raw", patternDisk(12U << 20));
  // A file-size limit below the disk size stands in for a full target disk.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto *oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1U << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  RecordingProgress rec;
  WorkerControl control;
  const ImageSaveResult r = saveDiskImage(flat(), dir / "disk.raw", dir / "out.img", rec, control);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(rec.messages().size(), 1U);
  EXPECT_EQ(rec.messages()[0].text, "Insufficient Disk Space in saving Location");
  EXPECT_EQ(rec.messages()[0].caption, "Quillon(Full) v3.02");
  EXPECT_TRUE(rec.statuses().empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "out.img"));
}

TEST(ImageSave, UnopenableImageOrOutput) {
  TempDir dir;
  RecordingProgress rec;
  WorkerControl control;
  ImageSaveResult r = saveDiskImage(flat(), dir / "missing.raw", dir / "out.img", rec, control);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("cannot open the image"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.img"));

  writeFileBytes(dir / "disk.raw", patternDisk(4U << 20));
  r = saveDiskImage(flat(), dir / "disk.raw", dir / "no" / "such" / "out.img", rec, control);
  EXPECT_FALSE(r.ok);
  ASSERT_FALSE(rec.messages().empty());
  EXPECT_EQ(rec.messages().back().text, "File cannot be Created");
}

} // namespace
} // namespace quillon::test
