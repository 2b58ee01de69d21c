// NTFS record basics on bytes: the update-sequence fixup, the bounded attribute walk and
// run-list decoding, with the damaged forms each must survive.
#include "fs/ntfs/ntfs_record.h"

#include "support/ntfs_builder.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using NtfsRun = ntfs_record::Run;
using test::NtfsBuilder;

struct RunListCase {
  const char *what;
  std::vector<std::uint8_t> bytes;
  std::uint64_t maxClusters;
  std::vector<NtfsRun> runs;
};

void PrintTo(const RunListCase &c, std::ostream *os) { *os << c.what; }

class NtfsRunListTest : public ::testing::TestWithParam<RunListCase> {};

TEST_P(NtfsRunListTest, Decodes) {
  const std::vector<NtfsRun> runs =
      ntfs_record::decodeRunList(GetParam().bytes, GetParam().maxClusters);
  ASSERT_EQ(runs.size(), GetParam().runs.size());
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].lcn, GetParam().runs[i].lcn) << i;
    EXPECT_EQ(runs[i].count, GetParam().runs[i].count) << i;
    EXPECT_EQ(runs[i].sparse, GetParam().runs[i].sparse) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    NtfsRunLists, NtfsRunListTest,
    ::testing::Values(
        RunListCase{"two_byte_offset", {0x21, 0x10, 0x00, 0x01, 0x00}, 100, {{256, 16, false}}},
        RunListCase{"negative_delta",
                    {0x11, 4, 100, 0x11, 2, 0xF6, 0x00},
                    100,
                    {{100, 4, false}, {90, 2, false}}},
        RunListCase{
            "sparse_run", {0x01, 8, 0x11, 4, 20, 0x00}, 100, {{0, 8, true}, {20, 4, false}}},
        RunListCase{"beyond_vcn_range", {0x11, 4, 10, 0x11, 4, 10, 0x00}, 5, {{10, 4, false}}},
        RunListCase{"field_past_the_end", {0x31, 4, 1}, 100, {}},
        RunListCase{"negative_cluster", {0x11, 4, 0xF0, 0x00}, 100, {}},
        RunListCase{"nine_byte_length", {0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}, 100, {}},
        RunListCase{"no_terminator", {0x11, 4, 10}, 100, {{10, 4, false}}},
        RunListCase{"zero_length_ends", {0x11, 0, 10, 0x11, 4, 10, 0x00}, 100, {}}),
    [](const auto &info) { return std::string(info.param.what); });

std::vector<std::uint8_t> sampleRecord() {
  return NtfsBuilder::encodeRecord(NtfsBuilder::namedRecord(std::string(150, 'q')), 40);
}

TEST(NtfsRecordTest, FixupRestoresSectorEndsAndReportsTornWrites) {
  std::vector<std::uint8_t> record = sampleRecord();
  const std::vector<std::uint8_t> original = record;
  EXPECT_EQ(le16(record, 510), 0x0A0B); // the update-sequence number stands in
  EXPECT_TRUE(ntfs_record::applyFixup(record));
  EXPECT_EQ(le16(record, 510), 'q');

  std::vector<std::uint8_t> torn = original;
  torn[1022] = 0x55; // the second sector was not written with the first
  EXPECT_FALSE(ntfs_record::applyFixup(torn));
  EXPECT_EQ(le16(torn, 510), 'q');

  for (const auto &[offset, value] :
       std::vector<std::pair<std::size_t, std::uint16_t>>{{4, 1020}, {6, 0}, {6, 4}}) {
    std::vector<std::uint8_t> bad = original;
    putLe(bad, offset, value, 2);
    const std::vector<std::uint8_t> before = bad;
    EXPECT_FALSE(ntfs_record::applyFixup(bad)) << offset << " " << value;
    EXPECT_EQ(bad, before);
  }
}

TEST(NtfsRecordTest, AttributeWalkStaysInsideTheRecord) {
  std::vector<std::uint8_t> record = sampleRecord();
  ASSERT_TRUE(ntfs_record::applyFixup(record));
  const std::vector<ntfs_record::Attribute> all = ntfs_record::attributes(record);
  ASSERT_EQ(all.size(), 2U); // $STANDARD_INFORMATION, $FILE_NAME
  const std::size_t second = all[1].offset;

  struct Damage {
    const char *what;
    std::size_t offset;
    std::uint64_t value;
    std::size_t width;
    std::size_t count;
  };
  for (const Damage &d : {Damage{"length_past_record", second + 4, 4000, 4, 1},
                          Damage{"length_zero", second + 4, 0, 4, 1},
                          Damage{"first_attribute_past_record", 20, 1020, 2, 0},
                          Damage{"first_attribute_far_out", 20, 0xFFFF, 2, 0}}) {
    std::vector<std::uint8_t> bad = record;
    putLe(bad, d.offset, d.value, d.width);
    EXPECT_EQ(ntfs_record::attributes(bad).size(), d.count) << d.what;
  }

  std::vector<std::uint8_t> longValue = record;
  putLe(longValue, second + 16, 5000, 4); // value length past the attribute
  const std::vector<ntfs_record::Attribute> walked = ntfs_record::attributes(longValue);
  ASSERT_EQ(walked.size(), 2U);
  EXPECT_EQ(walked[1].valueLength, 0U);
}

} // namespace
} // namespace quillon
