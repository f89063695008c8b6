// Small helpers for the fixed-capacity UTF-16 fields of records and for the comparisons the
// system uses: ordinal order (wcscmp) for map keys, A-Z-only case folding (_wcsicmp, CharLowerW
// on hex digits) for matching.
#ifndef MOBILEINFO_SUPPORT_TEXT_H
#define MOBILEINFO_SUPPORT_TEXT_H

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

namespace mobileinfo {

// Units before the first NUL, never more than capacity.
inline size_t BoundedLength(const char16_t* text, size_t capacity) {
  size_t n = 0;
  while (n < capacity && text[n] != 0) ++n;
  return n;
}

template <size_t N>
std::u16string FieldText(const char16_t (&field)[N]) {
  return std::u16string(field, BoundedLength(field, N));
}

// Copies at most N units of source (stopping at its NUL) and pads the rest with zeros. A source
// of N units or more leaves no terminator inside the field, as a bounded copy of that width does;
// use CopyTerminated where the field must stay a C string.
template <size_t N>
void CopyField(char16_t (&field)[N], const char16_t* source, size_t source_length) {
  size_t n = source_length < N ? source_length : N;
  if (n) std::memcpy(field, source, n * sizeof(char16_t));
  for (size_t i = n; i < N; ++i) field[i] = 0;
}
template <size_t N>
void CopyField(char16_t (&field)[N], const std::u16string& source) {
  CopyField(field, source.data(), source.size());
}

// Copies at most N - 1 units and always terminates; the rest is zero.
template <size_t N>
void CopyTerminated(char16_t (&field)[N], const std::u16string& source) {
  CopyField(field, source.data(), source.size() < N - 1 ? source.size() : N - 1);
}

inline char16_t FoldAsciiCase(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// _wcsicmp equality: letters A-Z match their lower-case forms, everything else exactly.
inline bool EqualsIgnoreCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  }
  return true;
}

inline std::u16string LowerAscii(std::u16string text) {
  for (auto& c : text) c = FoldAsciiCase(c);
  return text;
}

// A serial or device key as the system matches it ignoring case (_wcsicmp: A-Z only). Two texts
// match exactly when their keys are equal, so a set or map of keys answers what comparing with
// every entry would; texts that fold to one key share one entry.
class FoldedKey {
 public:
  explicit FoldedKey(std::u16string text) : folded_(LowerAscii(std::move(text))) {}
  template <size_t N>
  explicit FoldedKey(const char16_t (&field)[N]) : FoldedKey(FieldText(field)) {}

  bool operator==(const FoldedKey& other) const { return folded_ == other.folded_; }
  bool operator<(const FoldedKey& other) const { return folded_ < other.folded_; }
  struct Hash {
    size_t operator()(const FoldedKey& key) const { return std::hash<std::u16string>()(key.folded_); }
  };

 private:
  std::u16string folded_;
};

// UTF-8 <-> UTF-16 for backends, tools and tests. Invalid input is replaced with U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

}  // namespace mobileinfo

#endif  // MOBILEINFO_SUPPORT_TEXT_H
