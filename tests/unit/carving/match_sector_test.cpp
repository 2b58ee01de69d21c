// matchSector: starts before ends, table order, the wildcard, the one-byte rule, the starting
// offset, and the indexed lookup against a plain entry-by-entry reference.
#include "carving_fixtures.h"

#include <gtest/gtest.h>

#include <random>

namespace quillon {
namespace {

using test::engineWith;

SignatureFields fields(const char *start, const char *end = "", const char *offset = "") {
  SignatureFields f;
  f.extension = "bin";
  f.startSignature = start;
  f.endSignature = end;
  f.startOffset = offset;
  return f;
}

std::vector<std::uint8_t> sectorWith(std::size_t offset, std::vector<std::uint8_t> bytes) {
  std::vector<std::uint8_t> sector(512);
  std::copy(bytes.begin(), bytes.end(), sector.begin() + static_cast<std::ptrdiff_t>(offset));
  return sector;
}

TEST(MatchSector, StartsComeBeforeEndsAndEarlierRulesBeforeLaterOnes) {
  // Rule 0 ends with AA BB, rule 1 starts with AA BB, rule 2 starts with AA BB as well.
  auto engine = engineWith({fields("11,22", "AA,BB"), fields("AA,BB"), fields("AA,BB")}, 0);
  ASSERT_TRUE(engine->buildMatchTable());
  EXPECT_EQ(engine->matchSector(sectorWith(0, {0xAA, 0xBB})), (SectorMatch{'S', 1}));
  EXPECT_EQ(engine->matchSector(sectorWith(0, {0x11, 0x22})), (SectorMatch{'S', 0}));

  auto ends = engineWith({fields("11,22", "AA,BB"), fields("33,44", "AA,BB")}, 0);
  ASSERT_TRUE(ends->buildMatchTable());
  EXPECT_EQ(ends->matchSector(sectorWith(0, {0xAA, 0xBB})), (SectorMatch{'E', 0}));
  EXPECT_FALSE(ends->matchSector(sectorWith(1, {0xAA, 0xBB}))); // ends only at offset 0
}

TEST(MatchSector, WildcardsOneByteSignaturesAndOffsets) {
  auto engine = engineWith(
      {fields("FF,*,FF"), fields("7E"), fields("*,*", "", "0"), fields("12,34,56", "", "300")}, 0);
  ASSERT_TRUE(engine->buildMatchTable());
  EXPECT_EQ(engine->matchSector(sectorWith(0, {0xFF, 0x00, 0xFF})), (SectorMatch{'S', 0}));
  EXPECT_EQ(engine->matchSector(sectorWith(0, {0xFF, 0xD8, 0xFF})), (SectorMatch{'S', 0}));
  // Rule 2, made of wildcards only, matches any sector that nothing earlier matches; a
  // one-byte signature (rule 1) never matches, not even ahead of it.
  EXPECT_EQ(engine->matchSector(sectorWith(0, {0xFF, 0xD8, 0xFE})), (SectorMatch{'S', 2}));
  EXPECT_EQ(engine->matchSector(sectorWith(0, {0x7E})), (SectorMatch{'S', 2}));

  auto offsets = engineWith({fields("12,34,56", "", "300"), fields("7E")}, 0);
  ASSERT_TRUE(offsets->buildMatchTable());
  EXPECT_EQ(offsets->matchSector(sectorWith(300, {0x12, 0x34, 0x56})), (SectorMatch{'S', 0}));
  // The whole offset counts: 300 is not taken as its low byte 44.
  EXPECT_FALSE(offsets->matchSector(sectorWith(44, {0x12, 0x34, 0x56})));
  EXPECT_FALSE(offsets->matchSector(sectorWith(0, {0x7E, 0x7E})));
}

// The table tried entry by entry, as the matching is defined.
std::optional<SectorMatch> referenceMatch(const myJpg &engine, const std::vector<std::uint8_t> &s) {
  const std::size_t n = engine.matchTable.size() / 2;
  for (std::size_t t = 0; t < engine.matchTable.size(); ++t) {
    const MatchEntry &m = engine.matchTable[t];
    if (m.length < 2 || m.offset < 0 || m.offset + m.length > 512) {
      continue;
    }
    bool all = true;
    for (std::size_t k = 0; k < m.length && all; ++k) {
      all = m.pattern[k] == 0x2A || m.pattern[k] == s[static_cast<std::size_t>(m.offset) + k];
    }
    if (all) {
      return SectorMatch{t < n ? 'S' : 'E', m.id};
    }
  }
  return std::nullopt;
}

TEST(MatchSector, TheIndexedLookupAgreesWithTryingEveryEntryInTurn) {
  std::mt19937 rng(1234);
  const auto byte = [&] { return static_cast<std::uint8_t>(rng() % 4 == 0 ? 0x2A : rng() % 6); };
  auto engine = std::make_unique<myJpg>();
  for (int i = 0; i < 40; ++i) {
    SignatureRecord r;
    r.extension = u"r";
    r.startLength = static_cast<std::uint8_t>(1 + rng() % 4);
    r.endLength = static_cast<std::uint8_t>(rng() % 4);
    r.startOffset = static_cast<std::int16_t>(rng() % 3 == 0 ? rng() % 8 : 0);
    for (std::size_t k = 0; k < kMaxSignatureBytes; ++k) {
      r.startSignature[k] = byte();
      r.endSignature[k] = byte();
    }
    // Leading wildcards are kept, but a pattern of wildcards only would match every sector.
    r.startSignature[r.startLength - 1] = static_cast<std::uint8_t>(rng() % 6);
    r.endSignature[std::max(1, int{r.endLength}) - 1] = static_cast<std::uint8_t>(rng() % 6);
    engine->addSignature(r);
  }
  ASSERT_TRUE(engine->buildMatchTable());
  int matched = 0;
  for (int i = 0; i < 20000; ++i) {
    std::vector<std::uint8_t> sector(512);
    for (std::size_t k = 0; k < 16; ++k) {
      sector[k] = static_cast<std::uint8_t>(rng() % 6);
    }
    const auto expected = referenceMatch(*engine, sector);
    matched += expected ? 1 : 0;
    ASSERT_EQ(engine->matchSector(sector), expected) << "sector " << i;
  }
  EXPECT_GT(matched, 1000); // the sectors exercised both outcomes
  EXPECT_LT(matched, 20000);
}

} // namespace
} // namespace quillon
