// UTF-16, Windows-1252 and UTF-8 conversion.
#include "core/text_convert.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillon {
namespace {

std::vector<std::uint8_t> le16(std::u16string_view s) {
  std::vector<std::uint8_t> b;
  for (const char16_t c : s) {
    b.push_back(static_cast<std::uint8_t>(c));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return b;
}

TEST(Utf16, ConvertsPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(utf16leToUtf8(le16(u"Caf\u00e9 \u65e5\u672c")), "Caf\xC3\xA9 "
                                                            "\xe6\x97\xa5\xe6\x9c\xac");
  EXPECT_EQ(utf16leToUtf8(le16(u"\xD83D\xDE00")), "\xF0\x9F\x98\x80");
  EXPECT_EQ(utf16leToUtf8(le16(u"a\xD800z")), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf16leToUtf8(le16(std::u16string(u"ab\0cd", 5))), "ab");
  // An odd trailing byte is ignored rather than read past the span.
  std::vector<std::uint8_t> odd = le16(u"ab");
  odd.push_back(0x41);
  EXPECT_EQ(utf16leToUtf8(odd), "ab");
}

TEST(Windows1252, MapsTheUpperHalf) {
  EXPECT_EQ(windows1252ToUtf8("\x80 \xe9 \x81"), "\xE2\x82\xAC \xC3\xA9 \xEF\xBF\xBD");
}

TEST(Utf8, ValidatesStrictly) {
  EXPECT_TRUE(isValidUtf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_EQ(utf8ToUtf32("a\xC3\xA9\xFF\xF0\x9F\x98\x80"), U"a\u00e9\uFFFD\U0001F600");
  for (const char *bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
  }
}

} // namespace
} // namespace quillon
