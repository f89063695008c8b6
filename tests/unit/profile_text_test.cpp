#include <gtest/gtest.h>

#include <random>
#include <string>

#include "conformance_cases.h"
#include "support/profile_text.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

std::string Utf8(const std::u16string& text) { return Utf16ToUtf8(text); }

std::u16string Read(const std::u16string& text, const std::u16string& section,
                    const std::u16string& key, uint32_t capacity = 260) {
  std::u16string value = u"stale";
  const uint32_t n = ReadProfileText(text, section, key, capacity, value);
  EXPECT_EQ(value.size(), n);
  return value;
}

TEST(ProfileTextTest, MatchesTheWin32ReaderOnEveryConformanceCase) {
  for (const auto& c : conformance::ProfileCases()) {
    std::u16string value = u"stale";
    const uint32_t n =
        ReadProfileText(DecodeProfileBytes(c.file), c.section, c.key, c.capacity, value);
    EXPECT_EQ(Utf8(c.expected), Utf8(value)) << c.name;
    EXPECT_EQ(c.expected.size(), n) << c.name;
  }
}

TEST(ProfileTextTest, CapacityZeroGivesNothing) {
  std::u16string value = u"stale";
  EXPECT_EQ(0u, ReadProfileText(u"[s]\nk=v\n", u"s", u"k", 0, value));
  EXPECT_EQ(u"", value);
}

TEST(ProfileTextTest, QuotedValueThatExactlyFitsKeepsItsLastUnit) {
  // Wine's reader drops one more unit here (it measures the value with its closing quote).
  EXPECT_EQ(u"abcdefgh", Read(u"[s]\nk=\"abcdefgh\"\n", u"s", u"k", 9));
  EXPECT_EQ(u"abcdefg", Read(u"[s]\nk=\"abcdefgh\"\n", u"s", u"k", 8));
}

TEST(ProfileTextTest, NamesAndValuesEndAtTheirFirstNul) {
  const std::u16string text(u"[s\0junk]\nk\0x=v\0tail\n", 20);
  EXPECT_EQ(u"v", Read(text, u"s", u"k"));
  EXPECT_EQ(u"v", Read(text, std::u16string(u"s\0other", 7), u"k"));
}

TEST(ProfileTextTest, LoneCarriageReturnsEndLines) {
  EXPECT_EQ(u"2", Read(u"[s]\rk=1\r\r\rj=2", u"s", u"j"));
}

TEST(ProfileTextTest, EntriesBeforeAnyHeaderFormTheUnnamedSection) {
  EXPECT_EQ(u"1", Read(u"k=1\n[s]\nk=2\n", u"", u"k"));
  EXPECT_EQ(u"", Read(u"[s]\nk=2\n", u"", u"k"));
}

TEST(ProfileTextTest, ArbitraryInputIsSafe) {
  std::mt19937 random(12345);
  std::u16string alphabet(u"[]=;\"' \t\r\nkKsS\x1a");
  alphabet += {char16_t(0), char16_t(0xD800), char16_t(0xFFFF)};
  for (int round = 0; round < 2000; ++round) {
    std::u16string text;
    const int length = static_cast<int>(random() % 200);
    for (int i = 0; i < length; ++i) {
      text.push_back(alphabet[random() % alphabet.size()]);
    }
    const uint32_t capacity = random() % 8;
    std::u16string value;
    const uint32_t n = ReadProfileText(text, u"s", u"k", capacity, value);
    ASSERT_EQ(value.size(), n);
    ASSERT_LE(n, capacity == 0 ? 0 : capacity - 1);
  }
}

TEST(DecodeProfileBytesTest, ByteOrderMarks) {
  EXPECT_EQ(u"a\u00e9", DecodeProfileBytes(std::string("\xFF\xFE" "a\0\xE9\0", 6)));
  EXPECT_EQ(u"a\u00e9", DecodeProfileBytes(std::string("\xFE\xFF\0a\0\xE9", 6)));
  EXPECT_EQ(u"\u00e9", DecodeProfileBytes("\xEF\xBB\xBF\xC3\xA9"));
  EXPECT_EQ(u"\u00e9", DecodeProfileBytes("\xC3\xA9"));
  EXPECT_EQ(u"", DecodeProfileBytes("\xFF\xFE"));
  EXPECT_EQ(u"", DecodeProfileBytes(""));
}

TEST(DecodeProfileBytesTest, OddAndInvalidBytesAreSafe) {
  EXPECT_EQ(u"a", DecodeProfileBytes(std::string("\xFF\xFE" "a\0b", 5)));  // odd last byte
  EXPECT_EQ(u"\xfffd", DecodeProfileBytes("\xFF"));
  EXPECT_EQ(u"x\xfffdy", DecodeProfileBytes("x\xC3y"));
  // Unpaired surrogates in UTF-16 pass through untouched.
  EXPECT_EQ(std::u16string(1, char16_t(0xD800)),
            DecodeProfileBytes(std::string("\xFF\xFE\x00\xD8", 4)));
}

}  // namespace
}  // namespace mobileinfo
