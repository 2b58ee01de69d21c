// Shared date, time and size texts.
#include "core/text_format.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(SizeText, PicksTheLargestUnitOfAtLeastOne) {
  const struct {
    std::uint64_t bytes;
    const char *text;
  } cases[] = {
      {0, "0 Bytes"},
      {1023, "1023 Bytes"},
      {1024, "1.00 KB"},
      {1048575, "1024.00 KB"},
      {1048576, "1.00 MB"},
      {1610612736, "1.50 GB"},
      {5368709120ULL * 1024, "5120.00 GB"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(sizeText(c.bytes), c.text) << c.bytes;
  }
}

TEST(DateTimeText, TwelveHourClockWithTheOldNoonRule) {
  const struct {
    int hour;
    int minute;
    const char *text;
  } cases[] = {
      {0, 5, "03/07/2021  00:05 AM"},   {12, 30, "03/07/2021  12:30 AM"},
      {12, 59, "03/07/2021  12:59 AM"}, {13, 0, "03/07/2021  01:00 PM"},
      {23, 59, "03/07/2021  11:59 PM"},
  };
  for (const auto &c : cases) {
    std::tm t{};
    t.tm_year = 121;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    EXPECT_EQ(dateTimeText(t), c.text);
  }
  EXPECT_EQ(dateOnlyText(1, 2, 1999), "01/02/1999 ");
}

TEST(FiletimeToUnix, ConvertsAndRefusesNonsense) {
  // 2020-09-13T12:26:40Z is 1600000000 seconds after 1970.
  const std::uint64_t ft = (1600000000ULL + 11644473600ULL) * 10000000ULL;
  ASSERT_TRUE(filetimeToUnix(ft).has_value());
  EXPECT_EQ(*filetimeToUnix(ft), 1600000000);
  EXPECT_EQ(isoUtcText(*filetimeToUnix(ft)), "2020-09-13T12:26:40Z");
  EXPECT_FALSE(filetimeToUnix(0).has_value());
  EXPECT_FALSE(filetimeToUnix(~0ULL).has_value());
}

} // namespace
} // namespace quillon
