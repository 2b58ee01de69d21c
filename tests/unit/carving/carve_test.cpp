// The carving run: each action on a matched sector (approximate size with its skip, header
// size with the jump past the file, end signatures closing nested starts), the starts closed
// at the end, the tree and its counts, progress, stop and pause, and reading in large pieces.
#include "carving_fixtures.h"
#include "core/progress.h"
#include "core/worker_control.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <thread>

namespace quillon {
namespace {

using test::engineWith;
using test::kJpegStart;
using test::VolumeImage;

constexpr std::uint64_t kMiB = 1 << 20;

// Records everything and lets a test act when a chunk position is posted.
class HookProgress final : public Progress {
public:
  void setStatus(std::string_view text) override { record.setStatus(text); }
  void setSecondStatus(std::string_view text) override { record.setSecondStatus(text); }
  void setRange(std::uint64_t low, std::uint64_t high) override {
    record.setRange(low, high);
    ranges.emplace_back(low, high);
  }
  void setPosition(std::uint64_t position) override {
    record.setPosition(position);
    if (onPosition) {
      onPosition(position);
    }
  }
  MessageAnswer message(std::string_view text, std::string_view caption, MessageIcon icon,
                        MessageButtons buttons) override {
    return record.message(text, caption, icon, buttons);
  }
  RecordingProgress record;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  std::function<void(std::uint64_t)> onPosition;
};

struct CarveRun {
  ItemTree tree;
  HookProgress progress;
  WorkerControl control;
  void carve(myJpg &engine, VolumeBytes &volume) { engine.carve(tree, volume, progress, control); }
  void carve(myJpg &engine, const VolumeImage &image) {
    MemoryBytes bytes = image.memory();
    carve(engine, bytes);
  }
};

SignatureFields approxRule(const char *ext, const char *signature, const char *approx,
                           const char *skip = "", const char *category = "Images") {
  SignatureFields f;
  f.extension = ext;
  f.startSignature = signature;
  f.approxSize = approx;
  f.skipSize = skip;
  f.category = category;
  return f;
}

SignatureFields headerRule(const char *approx, const char *offset, bool includesHeader,
                           const char *header = "", const char *bytes = "4") {
  SignatureFields f;
  f.extension = "bmp";
  f.startSignature = "42,4D";
  f.offsetToSize = offset;
  f.bytesInSize = bytes;
  f.sizeIncludesHeader = includesHeader;
  f.headerSize = header;
  f.approxSize = approx;
  f.category = "Images";
  return f;
}

SignatureFields endRule(const char *approx) {
  SignatureFields f;
  f.extension = "x";
  f.startSignature = "AB,CD";
  f.endSignature = "EF,01";
  f.approxSize = approx;
  f.category = "Other";
  return f;
}

// (start, size, name) of every find, in the order they were made.
using Find = std::tuple<std::uint64_t, std::uint64_t, std::string>;
std::vector<Find> finds(const myJpg &engine, const ItemTree &tree) {
  std::vector<std::string> names(engine.results.size());
  for (ItemHandle h = 0; h < tree.handleCount(); ++h) {
    if (const auto *i = std::get_if<std::int64_t>(&tree.data(h))) {
      names.at(static_cast<std::size_t>(*i)) = tree.text(h);
    }
  }
  std::vector<Find> out;
  for (std::size_t i = 0; i < engine.results.size(); ++i) {
    out.emplace_back(engine.results[i].start, engine.results[i].size, names[i]);
  }
  return out;
}

TEST(Carve, ApproximateSizeRuleSkipsWholeSectorsOfItsSkipSize) {
  // Skip 2000 is 1536 in whole sectors: the start at 2560 + 1024 lies inside the skip.
  auto engine = engineWith({approxRule("jpg", "FF,D8,FF", "5000", "2000")}, kMiB);
  VolumeImage image(kMiB);
  image.put(2560, kJpegStart).put(2560 + 1024, kJpegStart).put(2560 + 1536, kJpegStart);
  CarveRun run;
  run.carve(*engine, image);
  EXPECT_EQ(finds(*engine, run.tree),
            (std::vector<Find>{{2560, 5000, "2560 .jpg"}, {4096, 5000, "4096 .jpg"}}));

  // A skip of one sector or less advances one sector.
  auto each = engineWith({approxRule("jpg", "FF,D8,FF", "5000", "512")}, kMiB);
  CarveRun again;
  again.carve(*each, image);
  EXPECT_EQ(each->results.size(), 3U);
}

TEST(Carve, HeaderSizeRuleFindsTheFileAndContinuesAfterIt) {
  // Size 10,000 at p = 0: the file covers 20 sectors, so the scan goes on at 10,240.
  auto engine = engineWith({headerRule("4000000", "2", true)}, 4 * kMiB);
  VolumeImage image(4 * kMiB);
  image.put(0, {0x42, 0x4D}).putLe32(2, 10000);
  image.put(9728, {0x42, 0x4D}).putLe32(9730, 700);   // inside the file: not looked at
  image.put(10240, {0x42, 0x4D}).putLe32(10242, 700); // right after it: found
  // 3,000,000 bytes at 1 MiB: the scan continues at the first sector after them, in chunk 3,
  // and finds the file that begins there.
  const std::uint64_t big = kMiB;
  const std::uint64_t after = big + 5860 * 512;
  image.put(big, {0x42, 0x4D}).putLe32(big + 2, 3000000);
  image.put(after - 512, {0x42, 0x4D}).putLe32(after - 510, 700);
  image.put(after, {0x42, 0x4D}).putLe32(after + 2, 700);
  CarveRun run;
  run.carve(*engine, image);
  EXPECT_EQ(finds(*engine, run.tree), (std::vector<Find>{{0, 10000, "0 .bmp"},
                                                         {10240, 700, "10240 .bmp"},
                                                         {big, 3000000, "1048576 .bmp"},
                                                         {after, 700, "4048896 .bmp"}}));
}

TEST(Carve, HeaderSizeRuleWithoutUsableSizeFindsNothingAndMovesOneSector) {
  struct Case {
    const char *name;
    SignatureFields rule;
    std::uint32_t field;
    std::vector<Find> expected;
  };
  const std::vector<Case> cases = {
      {"size above approx", headerRule("5000", "2", true), 6000, {{512, 100, "512 .bmp"}}},
      {"zero size", headerRule("5000", "2", true), 0, {{512, 100, "512 .bmp"}}},
      {"negative size", headerRule("5000", "2", true), 0xFFFFFFF0, {{512, 100, "512 .bmp"}}},
      {"two-byte field", headerRule("5000", "2", true, "", "2"), 100, {}},
      // The size leaves the 8-byte header out: the file is 108 bytes.
      {"header not included",
       headerRule("5000", "2", false, "8"),
       100,
       {{0, 108, "0 .bmp"}, {512, 108, "512 .bmp"}}},
  };
  for (const Case &c : cases) {
    auto engine = engineWith({c.rule}, kMiB);
    VolumeImage image(kMiB);
    image.put(0, {0x42, 0x4D}).putLe32(2, c.field);
    image.put(512, {0x42, 0x4D}).putLe32(514, 100);
    CarveRun run;
    run.carve(*engine, image);
    EXPECT_EQ(finds(*engine, run.tree), c.expected) << c.name;
  }
}

TEST(Carve, AnEndSignatureClosesTheMostRecentStart) {
  auto engine = engineWith({endRule("100000")}, kMiB);
  VolumeImage image(kMiB);
  image.put(0, {0xAB, 0xCD}).put(4096, {0xAB, 0xCD}).put(8192, {0xEF, 0x01});
  image.put(8704, {0xAB, 0xCD}).put(9216, {0xEF, 0x01}); // a file right after the end
  image.put(20480, {0xEF, 0x01});                        // closes the start at 0
  image.put(40960, {0xEF, 0x01});                        // none open: ignored
  CarveRun run;
  run.carve(*engine, image);
  // The find runs to the end signature's last byte and is named by the end's sector.
  EXPECT_EQ(
      finds(*engine, run.tree),
      (std::vector<Find>{{4096, 4098, "8192 .x"}, {8704, 514, "9216 .x"}, {0, 20482, "20480 .x"}}));

  // Closed sizes are capped by an approximate size above 0.
  auto capped = engineWith({endRule("3000")}, kMiB);
  CarveRun again;
  again.carve(*capped, image);
  EXPECT_EQ(std::get<1>(finds(*capped, again.tree)[0]), 3000U);
}

TEST(Carve, StartsLeftOpenAreClosedRuleByRuleEachCutAtTheNextStart) {
  SignatureFields second = endRule("15000");
  second.extension = "y";
  second.startSignature = "AB,CE";
  SignatureFields third = endRule("0");
  third.extension = "z";
  third.startSignature = "AB,CF";
  auto engine = engineWith({endRule("15000"), second, third}, kMiB);
  VolumeImage image(kMiB);
  image.put(0, {0xAB, 0xCD}).put(10240, {0xAB, 0xCD}).put(20480, {0xAB, 0xCD});
  image.put(5120, {0xAB, 0xCE});
  image.put(30720, {0xAB, 0xCF}); // approximate size 0: no find
  CarveRun run;
  run.carve(*engine, image);
  EXPECT_EQ(finds(*engine, run.tree), (std::vector<Find>{{20480, 15000, "20480 .x"},
                                                         {10240, 10240, "10240 .x"},
                                                         {0, 10240, "0 .x"},
                                                         {5120, 15000, "5120 .y"}}));
  EXPECT_TRUE(engine->pendingStarts[0].empty());
}

TEST(Carve, WhatOneRunHoldsIsBounded) {
  // At most two open starts: the third closes the oldest at once, cut at the next start.
  auto engine = engineWith({endRule("5000"), approxRule("jpg", "FF,D8,FF", "100")}, kMiB);
  engine->maxOpenStarts = 2;
  VolumeImage image(kMiB);
  image.put(0, {0xAB, 0xCD}).put(1024, {0xAB, 0xCD}).put(2048, {0xAB, 0xCD});
  CarveRun run;
  run.carve(*engine, image);
  EXPECT_EQ(
      finds(*engine, run.tree),
      (std::vector<Find>{{0, 1024, "0 .x"}, {2048, 5000, "2048 .x"}, {1024, 1024, "1024 .x"}}));

  // At most two finds: the scan stops and says where.
  auto limited = engineWith({approxRule("jpg", "FF,D8,FF", "100")}, kMiB);
  limited->maxFinds = 2;
  VolumeImage jpegs(kMiB);
  jpegs.put(0, kJpegStart).put(512, kJpegStart).put(1024, kJpegStart);
  CarveRun again;
  again.carve(*limited, jpegs);
  EXPECT_EQ(limited->results.size(), 2U);
  const auto messages = again.progress.record.messages();
  ASSERT_EQ(messages.size(), 2U);
  EXPECT_EQ(messages[0].text, "The scan stopped at byte 1024 after 2 finds; carve a smaller range "
                              "to see what lies beyond.");
  EXPECT_EQ(messages[1].text, "done..");
}

TEST(Carve, FindsAreListedUnderTheirCategoriesWithCounts) {
  auto engine = engineWith({approxRule("jpg", "FF,D8,FF", "100"),
                            approxRule("pdf", "25,50,44,46", "100", "", "Documents"),
                            approxRule("png", "89,50,4E,47", "100")},
                           kMiB);
  VolumeImage image(kMiB);
  image.put(0, kJpegStart).put(512, {0x89, 0x50, 0x4E, 0x47}).put(1024, kJpegStart);
  CarveRun run;
  run.carve(*engine, image);
  const ItemHandle top = run.tree.children(kNoItem).at(0);
  EXPECT_EQ(run.tree.text(top), "RAW RECOVERY ");
  EXPECT_EQ(run.tree.icon(top), IconKind::Folder);
  EXPECT_TRUE(run.tree.expanded(top));
  const auto &categories = run.tree.children(top);
  ASSERT_EQ(categories.size(), 2U);
  EXPECT_EQ(run.tree.text(categories[0]), "Images (3)");
  EXPECT_EQ(run.tree.text(categories[1]), "Documents"); // no finds: the plain name
  std::vector<std::string> names;
  for (const ItemHandle h : run.tree.children(categories[0])) {
    names.push_back(run.tree.text(h));
    EXPECT_EQ(run.tree.icon(h), IconKind::File);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"0 .jpg", "512 .png", "1024 .jpg"}));
  EXPECT_EQ(engine->categories.at("Images"), 3);

  // A second run lists under a new top item, counting afresh.
  run.carve(*engine, image);
  ASSERT_EQ(run.tree.children(kNoItem).size(), 2U);
  EXPECT_EQ(run.tree.text(run.tree.children(run.tree.children(kNoItem)[1]).at(0)), "Images (3)");
  EXPECT_EQ(engine->results.size(), 6U);
}

TEST(Carve, ProgressCoversEveryChunkAndTheTailOfTheVolume) {
  // 2.5 MiB and one partial sector: three chunks; a find in the last, partial sector.
  const std::uint64_t size = 2 * kMiB + kMiB / 2 + 100;
  auto engine = engineWith({approxRule("jpg", "FF,D8,FF", "100")}, size);
  VolumeImage image(size);
  image.put(size - 100, kJpegStart);
  CarveRun run;
  run.carve(*engine, image);
  EXPECT_EQ(run.progress.ranges,
            (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 1000}, {0, 3}}));
  EXPECT_EQ(run.progress.record.positions(), (std::vector<std::uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(finds(*engine, run.tree),
            (std::vector<Find>{{size - 100, 100, std::to_string(size - 100) + " .jpg"}}));
  ASSERT_EQ(run.progress.record.messages().size(), 1U);
  EXPECT_EQ(run.progress.record.messages()[0].text, "done..");
}

TEST(Carve, WithoutRulesTheRunDoesNotStart) {
  myJpg engine;
  engine.volumeSize = kMiB;
  CarveRun run;
  VolumeImage image(kMiB);
  run.carve(engine, image);
  EXPECT_EQ(run.progress.record.messages().at(0).text, "not properly initialized");
  EXPECT_EQ(run.tree.handleCount(), 0U);
}

TEST(Carve, StopEndsTheScanClosesOpenStartsAndStillSaysDone) {
  auto engine = engineWith({approxRule("jpg", "FF,D8,FF", "100"), endRule("7000")}, 4 * kMiB);
  VolumeImage image(4 * kMiB);
  image.put(0, kJpegStart).put(kMiB, kJpegStart).put(3 * kMiB, kJpegStart);
  image.put(4096, {0xAB, 0xCD});
  CarveRun run;
  run.progress.onPosition = [&](std::uint64_t c) {
    if (c == 1) {
      run.control.requestStop();
    }
  };
  run.carve(*engine, image);
  EXPECT_EQ(finds(*engine, run.tree),
            (std::vector<Find>{{0, 100, "0 .jpg"}, {4096, 7000, "4096 .x"}}));
  EXPECT_EQ(run.progress.record.positions().back(), 4U);
  EXPECT_EQ(run.progress.record.messages().back().text, "done..");
}

TEST(Carve, PauseHoldsTheScanAtTheNextChunk) {
  auto engine = engineWith({approxRule("jpg", "FF,D8,FF", "100")}, 3 * kMiB);
  VolumeImage image(3 * kMiB);
  image.put(0, kJpegStart).put(kMiB, kJpegStart).put(2 * kMiB, kJpegStart);
  CarveRun run;
  std::size_t seenWhilePaused = 0;
  std::thread resumer;
  run.progress.onPosition = [&](std::uint64_t c) {
    if (c == 1) {
      run.control.pause();
      // Started after the pause, so what it reads was written before it, and the worker
      // cannot go on until it resumes.
      resumer = std::thread([&] {
        seenWhilePaused = engine->results.size();
        run.control.resume();
      });
    }
  };
  run.carve(*engine, image);
  resumer.join();
  EXPECT_EQ(seenWhilePaused, 1U);
  EXPECT_EQ(engine->results.size(), 3U);
}

TEST(Carve, ReadsInLargePiecesAndReadingAheadChangesNothing) {
  // Random rules and bytes with skips and header jumps across the 8 MiB read windows.
  const std::uint64_t size = 40 * kMiB;
  std::mt19937 rng(99);
  VolumeImage image(size);
  for (int i = 0; i < 3000; ++i) {
    const std::uint64_t at = (rng() % (size / 512)) * 512;
    switch (rng() % 4) {
    case 0:
      image.put(at, kJpegStart);
      break;
    case 1:
      image.put(at, {0x42, 0x4D}).putLe32(at + 2, static_cast<std::uint32_t>(rng() % (12 * kMiB)));
      break;
    case 2:
      image.put(at, {0xAB, 0xCD});
      break;
    default:
      image.put(at, {0xEF, 0x01});
      break;
    }
  }
  const auto carveWith = [&](bool readAhead, std::uint64_t &reads) {
    auto engine = engineWith({approxRule("jpg", "FF,D8,FF", "100000", "300000"),
                              headerRule("10000000", "2", true), endRule("9000")},
                             size);
    engine->readAhead = readAhead;
    MemoryBytes bytes = image.memory();
    CarveRun run;
    run.carve(*engine, bytes);
    reads = bytes.reads();
    return finds(*engine, run.tree);
  };
  std::uint64_t readsAhead = 0;
  std::uint64_t readsInLine = 0;
  const std::vector<Find> ahead = carveWith(true, readsAhead);
  const std::vector<Find> inLine = carveWith(false, readsInLine);
  EXPECT_EQ(ahead, inLine);
  EXPECT_GT(ahead.size(), 20U);
  // 40 chunks in 8 MiB windows: a handful of reads, never one per sector or per chunk (a
  // read-ahead that a jump makes useless costs one more).
  EXPECT_LE(readsInLine, 10U);
  EXPECT_LE(readsAhead, 20U);
}

} // namespace
} // namespace quillon
