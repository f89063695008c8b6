#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "conformance_cases.h"
#include "fake_platform.h"
#include "support/text.h"
#include "support/wide_string.h"

namespace mobileinfo {
namespace {

std::string Utf8(const std::u16string& text) { return Utf16ToUtf8(text); }

TEST(FormatWideTest, MatchesTheWin32FormatterOnEveryConformanceCase) {
  for (const auto& c : conformance::FormatCases()) {
    std::vector<char16_t> out(2048, u'#');
    const int written = c.run(&FormatWideV, out.data(), static_cast<int>(out.size()));
    const std::u16string got(out.data());
    EXPECT_EQ(Utf8(c.expected), Utf8(got)) << c.name;
    EXPECT_EQ(static_cast<int>(c.expected.size()), written) << c.name;
  }
}

TEST(FormatWideTest, KeepsTheFirstCapacityMinusOneUnitsAndTerminates) {
  char16_t out[8];
  for (auto& c : out) c = u'#';
  EXPECT_EQ(4, FormatWide(out, 5, u"%s-%d", u"abcdef", 12345));
  EXPECT_EQ(u"abcd", std::u16string(out));
  EXPECT_EQ(u'#', out[5]);  // nothing written past the capacity

  EXPECT_EQ(0, FormatWide(out, 1, u"%s", u"abc"));
  EXPECT_EQ(0, out[0]);
  EXPECT_EQ(0, FormatWide(nullptr, 10, u"abc"));
  out[0] = u'#';
  EXPECT_EQ(0, FormatWide(out, 0, u"abc"));
  EXPECT_EQ(u'#', out[0]);
}

TEST(FormatWideTest, HugeWidthsStopAtTheCapacity) {
  char16_t out[16];
  EXPECT_EQ(15, FormatWide(out, 16, u"%2000000000d", 1));
  EXPECT_EQ(std::u16string(15, u' '), std::u16string(out));
  EXPECT_EQ(15, FormatWide(out, 16, u"%99999999999999999999s", u"x"));
}

TEST(FormatWideTest, LongOutputHasNoFixedLimit) {
  // wvsprintfW stops at 1024 units; ours writes whatever fits the buffer.
  const std::u16string long_text(5000, u'q');
  std::vector<char16_t> out(6000);
  EXPECT_EQ(5002, FormatWide(out.data(), static_cast<int>(out.size()), u"<%s>",
                             long_text.c_str()));
  EXPECT_EQ(u"<" + long_text + u">", std::u16string(out.data()));
}

TEST(FormatWideTest, NarrowBytesBecomeOneUnitEach) {
  char16_t out[16];
  FormatWide(out, 16, u"%S|%C", "\xE9\xFF", 0xE9);
  EXPECT_EQ(std::u16string(u"\u00e9\u00ff|\u00e9"), std::u16string(out));
}

TEST(FormatWideTest, HashPrefixOnlyForHexadecimal) {
  char16_t out[32];
  // The original reads past the digits for "%#d"; the prefix belongs to hexadecimal only.
  FormatWide(out, 32, u"%#d %#u %#6x", 42, 7u, 255);
  EXPECT_EQ(std::u16string(u"42 7     0xff"), std::u16string(out));
}

TEST(EstimateLengthTest, IsAnUpperBoundOfTheFormatter) {
  for (const auto& c : conformance::FormatCases()) {
    // Run the case through a formatter that estimates instead of formatting.
    auto estimate = [](char16_t*, int, const char16_t* format, va_list args) {
      return WideString::EstimateLength(format, args);
    };
    const int estimated = c.run(estimate, nullptr, 0);
    EXPECT_GE(estimated, static_cast<int>(c.expected.size())) << c.name;
  }
}

TEST(EstimateLengthTest, FloatingPointTrapsWithTheMessage) {
  auto& platform = DefaultFakePlatform();
  platform.Lock()->debug_traps.clear();
  WideString s(u"old");
  EXPECT_EQ(1, s.Format(u"%f", 1.5));
  auto script = platform.Lock();
  ASSERT_EQ(1u, script->debug_traps.size());
  EXPECT_EQ(u"Floating point (%e, %f, %g, and %G) is not supported by the wide string class.",
            script->debug_traps[0]);
}

TEST(WideStringFormatTest, ProducesTheWholeLongArgument) {
  WideString s;
  ASSERT_EQ(1, s.Format(u"%s", conformance::LongArgument()));
  EXPECT_EQ(300, s.Length());
  EXPECT_EQ(std::u16string(conformance::LongArgument()), s.ToU16());

  ASSERT_EQ(1, s.Format(u"http://host/intf/f72?id=%s&n=%d", conformance::LongArgument(), -5));
  EXPECT_EQ(u"http://host/intf/f72?id=" + std::u16string(conformance::LongArgument()) + u"&n=-5",
            s.ToU16());
}

TEST(WideStringFormatTest, NullTextArgumentIsWrittenAsNull) {
  WideString s;
  ASSERT_EQ(1, s.Format(u"id=%s", static_cast<const char16_t*>(nullptr)));
  EXPECT_EQ(u"id=(null)", s.ToU16());
}

TEST(WideStringFormatTest, ArgumentMayBeTheStringItself) {
  WideString s(u"abc");
  ASSERT_EQ(1, s.Format(u"%s-%s", s.c_str(), s.c_str()));
  EXPECT_EQ(u"abc-abc", s.ToU16());
}

TEST(WideStringFormatTest, LeavesASharedCopyAlone) {
  WideString s(u"before");
  WideString copy(s);
  ASSERT_EQ(1, s.Format(u"%d", 7));
  EXPECT_EQ(u"7", s.ToU16());
  EXPECT_EQ(u"before", copy.ToU16());
}

TEST(WideStringFormatTest, EmptyResultIsTheEmptyValue) {
  WideString s(u"x");
  ASSERT_EQ(1, s.Format(u"%s", u""));
  EXPECT_EQ(0, s.Length());
  EXPECT_TRUE(SharesBlockForTesting(s, WideString()));
}

}  // namespace
}  // namespace mobileinfo
