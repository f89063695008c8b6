// GetPrivateProfileStringW's reading of an initialisation file, on the text of the file.
//
// Lines end at any run of CR and LF. Blanks are TAB..CR, ^Z and space. A line that starts with
// "[" and has a "]" names a section (the text up to the last "]", trimmed); any other line is an
// entry "name=value" (a line without "=" is an entry without value, which reads as missing).
// Entries before the first section header belong to the section named "". Only the first section
// of a name is searched: a later section of the same name is never read, and neither are comment
// lines for ordinary keys, since their names keep the leading ";". Names and values are C strings
// to the original: each ends at its first NUL.
#include "support/profile_text.h"

#include "support/text.h"

namespace mobileinfo {

namespace {

bool IsBlank(char16_t c) { return (c >= 0x09 && c <= 0x0d) || c == 0x1a || c == 0x20; }

struct Range {
  const char16_t* begin;
  const char16_t* end;
  size_t size() const { return static_cast<size_t>(end - begin); }
};

Range Trim(Range r) {
  while (r.begin < r.end && IsBlank(*r.begin)) ++r.begin;
  while (r.end > r.begin && IsBlank(r.end[-1])) --r.end;
  return r;
}

// The range up to its first NUL.
Range CString(Range r) {
  for (const char16_t* p = r.begin; p < r.end; ++p) {
    if (*p == 0) return {r.begin, p};
  }
  return r;
}

bool NameMatches(Range name, const std::u16string& wanted) {
  name = CString(name);
  if (name.size() != wanted.size()) return false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (FoldAsciiCase(name.begin[i]) != FoldAsciiCase(wanted[i])) return false;
  }
  return true;
}

// The lookup name as the original sees it: up to its first NUL, blanks trimmed.
std::u16string LookupName(const std::u16string& name) {
  const char16_t* begin = name.data();
  Range r = Trim(CString({begin, begin + name.size()}));
  return std::u16string(r.begin, r.size());
}

// Finds the value of key in the first section named section. False when the section or the key
// is missing or the key's line has no "=".
bool FindValue(const std::u16string& text, const std::u16string& section,
               const std::u16string& key, Range& value) {
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  bool in_section = section.empty();  // the entries before the first header form section ""
  bool section_seen = in_section;
  while (p < end) {
    Range line{p, p};
    while (line.end < end && *line.end != u'\n' && *line.end != u'\r') ++line.end;
    p = line.end;
    while (p < end && (*p == u'\n' || *p == u'\r')) ++p;
    line = Trim(line);
    if (line.begin == line.end) continue;

    if (*line.begin == u'[') {
      const char16_t* close = line.end;
      while (close > line.begin && close[-1] != u']') --close;
      if (close > line.begin) {
        if (section_seen) return false;  // the first section of that name ends here
        in_section = NameMatches(Trim({line.begin + 1, close - 1}), section);
        section_seen = in_section;
        continue;
      }
      // No "]": an ordinary entry line.
    }
    if (!in_section) continue;

    const char16_t* equals = line.begin;
    while (equals < line.end && *equals != u'=') ++equals;
    Range name{line.begin, equals};
    while (name.end > name.begin && IsBlank(name.end[-1])) --name.end;
    if (!NameMatches(name, key)) continue;
    if (equals == line.end) return false;  // the first entry of that name has no value
    value = CString(Trim({equals + 1, line.end}));
    return true;
  }
  return false;
}

}  // namespace

uint32_t ReadProfileText(const std::u16string& text, const std::u16string& section,
                         const std::u16string& key, uint32_t capacity, std::u16string& value) {
  value.clear();
  if (capacity == 0) return 0;
  Range found{nullptr, nullptr};
  if (!FindValue(text, LookupName(section), LookupName(key), found)) return 0;
  // A value in matching quotes loses them (a lone quote character stays).
  if (found.size() >= 2 && (*found.begin == u'"' || *found.begin == u'\'') &&
      found.end[-1] == *found.begin) {
    ++found.begin;
    --found.end;
  }
  size_t n = found.size();
  if (n > capacity - 1) n = capacity - 1;
  value.assign(found.begin, n);
  return static_cast<uint32_t>(n);
}

std::u16string DecodeProfileBytes(const std::string& bytes) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const bool little = bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE;
  const bool big = bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF;
  if (little || big) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {  // an odd last byte is no unit
      text.push_back(static_cast<char16_t>(little ? byte(i) | (byte(i + 1) << 8)
                                                  : (byte(i) << 8) | byte(i + 1)));
    }
    return text;
  }
  if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
    return Utf8ToUtf16(bytes.substr(3));
  }
  return Utf8ToUtf16(bytes);
}

}  // namespace mobileinfo
