// One table of cases for the formatter and the initialisation-file reader. The native unit tests
// run it against FormatWideV and ReadProfileText; under Wine the Windows backend tests run it
// against wvsprintfW and GetPrivateProfileStringW as well and compare both with the expected text.
// Every expected text here is what the Win32 original gives; cases where our functions choose a
// sounder result than the original live in the unit tests, not here.
#ifndef MOBILEINFO_TESTS_CONFORMANCE_CASES_H
#define MOBILEINFO_TESTS_CONFORMANCE_CASES_H

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace mobileinfo {
namespace conformance {

// A formatter under test, with the shape of FormatWideV. The capacity is at least 1024 units
// (wvsprintfW's own limit) in every case.
using VFormatter = int (*)(char16_t* out, int capacity, const char16_t* format, va_list args);

inline int CallFormatter(VFormatter formatter, char16_t* out, int capacity,
                         const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = formatter(out, capacity, format, args);
  va_end(args);
  return written;
}

// Wrapped so that no template argument carries va_list's calling-convention attributes.
struct Formatter {
  VFormatter function;
};

struct FormatCase {
  const char* name;
  std::u16string expected;
  std::function<int(Formatter, char16_t*, int)> run_with;

  // Formats the case's arguments with formatter into out.
  int run(VFormatter formatter, char16_t* out, int capacity) const {
    return run_with(Formatter{formatter}, out, capacity);
  }
};

template <typename... Args>
FormatCase MakeFormatCase(const char* name, std::u16string expected, const char16_t* format,
                          Args... args) {
  return {name, std::move(expected), [=](Formatter formatter, char16_t* out, int capacity) {
            return CallFormatter(formatter.function, out, capacity, format, args...);
          }};
}

// 300 units: longer than any fixed guess of a result's length.
inline const char16_t* LongArgument() {
  static const std::u16string text = [] {
    std::u16string t;
    for (int i = 0; i < 30; ++i) t += u"0123456789";
    return t;
  }();
  return text.c_str();
}

inline std::vector<FormatCase> FormatCases() {
  const bool wide_pointers = sizeof(void*) == 8;
  return {
      MakeFormatCase("plain text", u"no conversions", u"no conversions"),
      MakeFormatCase("percent", u"100% sure", u"100%% sure"),
      MakeFormatCase("string", u"VID_04e8&PID_6860", u"VID_%s&PID_%s", u"04e8", u"6860"),
      MakeFormatCase("path", u"C:\\Host\\mobileInfo.ini", u"%s\\%s", u"C:\\Host",
                     u"mobileInfo.ini"),
      MakeFormatCase("null string", u"[(null)]", u"[%s]", static_cast<const char16_t*>(nullptr)),
      MakeFormatCase("empty string", u"[]", u"[%s]", u""),
      MakeFormatCase("long string", std::u16string(u"<") + LongArgument() + u">", u"<%s>",
                     LongArgument()),
      MakeFormatCase("string width", u"[   ab]", u"[%5s]", u"ab"),
      MakeFormatCase("string width left", u"[ab   ]", u"[%-5s]", u"ab"),
      MakeFormatCase("string zero flag pads with blanks", u"[   ab]", u"[%05s]", u"ab"),
      MakeFormatCase("string precision", u"[abc]", u"[%.3s]", u"abcdef"),
      MakeFormatCase("string width and precision", u"[       abc]", u"[%10.3s]", u"abcdef"),
      MakeFormatCase("string precision zero means none", u"[abcdef]", u"[%.0s]", u"abcdef"),
      MakeFormatCase("wide string ls", u"wide", u"%ls", u"wide"),
      MakeFormatCase("wide string lS", u"wide", u"%lS", u"wide"),
      MakeFormatCase("wide string ws", u"wide", u"%ws", u"wide"),
      MakeFormatCase("narrow string S", u"narrow", u"%S", "narrow"),
      MakeFormatCase("narrow string hs", u"narrow", u"%hs", "narrow"),
      MakeFormatCase("narrow string hS", u"narrow", u"%hS", "narrow"),
      MakeFormatCase("narrow null", u"(null)", u"%S", static_cast<const char*>(nullptr)),
      MakeFormatCase("narrow precision", u"nar", u"%.3hs", "narrow"),
      MakeFormatCase("wide char", u"[A]", u"[%c]", static_cast<int>(u'A')),
      MakeFormatCase("wide char non-ASCII", u"[\u00e9\u65e5]", u"[%c%lc]", 0xE9, 0x65E5),
      MakeFormatCase("narrow char", u"[b]", u"[%C]", static_cast<int>('b')),
      MakeFormatCase("narrow char hc", u"[b]", u"[%hc]", static_cast<int>('b')),
      MakeFormatCase("narrow bytes are Latin-1 units", u"\u00e9|\u00e9", u"%C|%S", 0xE9,
                     "\xE9"),
      MakeFormatCase("char width", u"[   x|x   ]", u"[%4c|%-4c]", static_cast<int>(u'x'),
                     static_cast<int>(u'x')),
      MakeFormatCase("decimal", u"0 42 -42", u"%d %i %d", 0, 42, -42),
      MakeFormatCase("decimal limits", u"2147483647 -2147483648", u"%d %d", INT32_MAX, INT32_MIN),
      MakeFormatCase("long decimal", u"-7", u"%ld", -7),
      MakeFormatCase("unsigned", u"4294967295 7", u"%u %u", -1, 7),
      MakeFormatCase("hex", u"ff FF 0 deadbeef", u"%x %X %x %x", 255, 255, 0, 0xDEADBEEF),
      MakeFormatCase("hex prefix", u"0xff 0XFF", u"%#x %#X", 255, 255),
      MakeFormatCase("hex prefix is outside the width", u"[    0xff] [0x00000000ff]",
                     u"[%#6x] [%#010x]", 255, 255),
      MakeFormatCase("width", u"[   42]", u"[%5d]", 42),
      MakeFormatCase("width left", u"[42   ]", u"[%-5d]", 42),
      MakeFormatCase("zero pad", u"[00042]", u"[%05d]", 42),
      MakeFormatCase("zero pad negative", u"[-0042]", u"[%05d]", -42),
      MakeFormatCase("zero pad long", u"-000000001", u"%010ld", -1),
      MakeFormatCase("left wins over zero", u"[-42  ]", u"[%-05d]", -42),
      MakeFormatCase("width narrower than number", u"[123456]", u"[%3d]", 123456),
      MakeFormatCase("precision", u"[00042]", u"[%.5d]", 42),
      MakeFormatCase("precision counts the sign", u"[-0042] [-05]", u"[%.5d] [%.3d]", -42, -5),
      MakeFormatCase("h does not shorten integers", u"70000", u"%hd", 70000),
      MakeFormatCase("width and precision", u"[   007]", u"[%6.3d]", 7),
      MakeFormatCase("hex width", u"[  ff|00ff]", u"[%4x|%04x]", 255, 255),
      MakeFormatCase("I64 decimal", u"-9223372036854775807 543210000000", u"%I64d %I64d",
                     static_cast<long long>(-INT64_MAX), 543210000000LL),
      MakeFormatCase("I64 minimum", u"-9223372036854775808", u"%I64d",
                     static_cast<long long>(INT64_MIN)),
      MakeFormatCase("I64 unsigned and hex", u"18446744073709551493 FFFFFFFFFFFEDCBB",
                     u"%I64u %I64X", -123LL, -0x12345LL),
      MakeFormatCase("I32 hex", u"fffedcbb", u"%I32x", -0x12345),
      MakeFormatCase("I64 then string", u"5000000000 tail", u"%I64d %s", 5000000000LL, u"tail"),
      MakeFormatCase("pointer",
                     wide_pointers ? u"000000001234ABCD" : u"1234ABCD", u"%p",
                     reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234ABCD))),
      MakeFormatCase("pointer-size integer", u"-12345", u"%Id", static_cast<intptr_t>(-12345)),
      MakeFormatCase("unknown conversion prints the letter", u"[z] [   y]", u"[%z] [%5.2y]"),
      MakeFormatCase("unsupported flag prints as text", u"+d 5", u"%+d %d", 5, 6),
      MakeFormatCase("percent at the end", u"end", u"end%"),
      MakeFormatCase("star is not supported", u"*d|", u"%*d|", 5, 3),
      MakeFormatCase("size letters L F N are not prefixes", u"Ls", u"%Ls", u"xyz"),
      MakeFormatCase("percent after a width starts a conversion", u"     3", u"%5%d", 3),
      MakeFormatCase("left-aligned pointer", wide_pointers ? u"12              " : u"12      ",
                     u"%-p", reinterpret_cast<void*>(static_cast<uintptr_t>(0x12))),
      MakeFormatCase("mixed URL", u"http://h/intf/getDriver?os=3&bit=64&id=04e8_6860",
                     u"%s?os=%d&bit=%d&id=%s", u"http://h/intf/getDriver", 3, 64, u"04e8_6860"),
  };
}

struct ProfileCase {
  const char* name;
  std::string file;  // the file's bytes
  std::u16string section;
  std::u16string key;
  uint32_t capacity;
  std::u16string expected;
};

// The bytes of text as UTF-16 with a byte-order mark.
inline std::string Utf16Bytes(const std::u16string& text, bool big_endian) {
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t c : text) {
    const char low = static_cast<char>(c & 0xFF);
    const char high = static_cast<char>(c >> 8);
    bytes += big_endian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

inline std::vector<ProfileCase> ProfileCases() {
  const std::string long_value(5000, 'v');
  return {
      {"simple", "[main]\r\nKey=value\r\n", u"main", u"Key", 260, u"value"},
      {"no final line end", "[main]\r\nKey=value", u"main", u"Key", 260, u"value"},
      {"names ignore case", "[MaIn]\nMobileInfoCacheTimeOut=30\n", u"mAIN",
       u"mobileinfocachetimeout", 260, u"30"},
      {"missing key", "[main]\nOther=1\n", u"main", u"Key", 260, u""},
      {"missing section", "[other]\nKey=1\n", u"main", u"Key", 260, u""},
      {"empty file", "", u"main", u"Key", 260, u""},
      {"empty value", "[main]\nKey=\n", u"main", u"Key", 260, u""},
      {"blank value", "[main]\nKey=   \n", u"main", u"Key", 260, u""},
      {"line without equals", "[main]\nKey\n", u"main", u"Key", 260, u""},
      {"blanks around everything", "  [  main  ]  \r\n \t Key \t =  \t some value \t \r\n",
       u"main", u"Key", 260, u"some value"},
      {"blanks around lookup names", "[main]\nKey=v\n", u"  main ", u" Key  ", 260, u"v"},
      {"equals inside value", "[main]\nKey=a=b\n", u"main", u"Key", 260, u"a=b"},
      {"double quotes", "[main]\nKey=\"quoted value\"\n", u"main", u"Key", 260,
       u"quoted value"},
      {"single quotes", "[main]\nKey='x y'\n", u"main", u"Key", 260, u"x y"},
      {"quotes keep inner blanks", "[main]\nKey=\"  padded  \"\n", u"main", u"Key", 260,
       u"  padded  "},
      {"mismatched quotes stay", "[main]\nKey=\"abc'\n", u"main", u"Key", 260, u"\"abc'"},
      {"lone quote stays", "[main]\nKey=\"\n", u"main", u"Key", 260, u"\""},
      {"empty quotes", "[main]\nKey=\"\"\n", u"main", u"Key", 260, u""},
      {"quote only at start", "[main]\nKey=\"abc\n", u"main", u"Key", 260, u"\"abc"},
      {"cut to capacity", "[main]\nKey=abcdefghij\n", u"main", u"Key", 5, u"abcd"},
      {"exactly fits", "[main]\nKey=abcdefghij\n", u"main", u"Key", 11, u"abcdefghij"},
      {"one too long", "[main]\nKey=abcdefghij\n", u"main", u"Key", 10, u"abcdefghi"},
      {"capacity one", "[main]\nKey=abc\n", u"main", u"Key", 1, u""},
      {"quoted value cut", "[main]\nKey=\"abcdefgh\"\n", u"main", u"Key", 4, u"abc"},
      {"quoted value with room", "[main]\nKey=\"abcdefgh\"\n", u"main", u"Key", 10,
       u"abcdefgh"},
      {"long line", "[main]\nKey=" + long_value + "\n", u"main", u"Key", 260,
       std::u16string(259, u'v')},
      {"first key wins", "[s]\nk=1\nk=2\n", u"s", u"k", 260, u"1"},
      {"first key without value wins", "[s]\nk\nk=2\n", u"s", u"k", 260, u""},
      {"later section of the same name is not read", "[s]\na=1\n[t]\n[S]\nb=2\n", u"s", u"b",
       260, u""},
      {"first section of the same name wins", "[s]\nk=1\n[s]\nk=2\n", u"s", u"k", 260, u"1"},
      {"comment line", "[s]\n;k=1\nk=2\n", u"s", u"k", 260, u"2"},
      {"commented-out key", "[s]\n; k=1\n", u"s", u"k", 260, u""},
      {"entries before the first section", "k=1\n[s]\nk=2\n", u"s", u"k", 260, u"2"},
      {"text after the bracket", "[s] trailing\nk=1\n", u"s", u"k", 260, u"1"},
      {"header without closing bracket", "[s\nk=1\n", u"s", u"k", 260, u""},
      {"lone carriage returns end lines", "[s]\rk=1\r\r\rj=2", u"s", u"j", 260, u"2"},
      {"entries before any header are section \"\"", "k=1\n[s]\nk=2\n", u"", u"k", 260, u"1"},
      {"comment lines are entries whose names start with ;", "[s]\n;k=1\n", u"s", u";k", 260,
       u"1"},
      {"value ends at a NUL", std::string("[s]\nk=v\0tail\n", 13), u"s", u"k", 260, u"v"},
      {"key in another section", "[a]\nk=1\n[b]\nj=2\n", u"b", u"k", 260, u""},
      {"line ends LF CR and CRLF mixed", "[s]\na=1\nb=2\r\nc=3\r\n", u"s", u"c", 260, u"3"},
      {"UTF-16LE file",
       Utf16Bytes(u"[main]\r\nName=Gr\u00fc\u00dfe \u65e5\u672c\r\n", false), u"main", u"Name",
       260, u"Gr\u00fc\u00dfe \u65e5\u672c"},
      {"UTF-16BE file", Utf16Bytes(u"[main]\r\nName=big \u00e9ndian\r\n", true), u"main",
       u"Name", 260, u"big \u00e9ndian"},
      {"UTF-8 file with mark", "\xEF\xBB\xBF[main]\r\nName=caf\xC3\xA9\r\n", u"main", u"Name",
       260, u"caf\u00e9"},
      {"hash starts no comment", "[s]\n#k=1\n", u"s", u"#k", 260, u"1"},
      {"first key wins whatever its case", "[s]\nK=1\nk=2\n", u"s", u"k", 260, u"1"},
      {"blanks outside the quotes go", "[s]\nk= \" a \" \n", u"s", u"k", 260, u" a "},
      {"bracket line without close is an entry", "[s]\n[t\nj=2\n", u"s", u"[t", 260, u""},
      {"letters outside ASCII keep their case",
       Utf16Bytes(u"[s]\r\n\u212a=kelvin\r\nk=plain\r\n\u00c4=upper\r\n\u00e4=lower\r\n", false),
       u"s", u"\u00e4", 260, u"lower"},
      {"file larger than 1 MiB", "[s]\nk=" + std::string(1536 * 1024, 'v') + "\nj=2\n", u"s",
       u"j", 260, u"2"},
  };
}

}  // namespace conformance
}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_CONFORMANCE_CASES_H
