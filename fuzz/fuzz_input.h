// Helpers the fuzz targets share for turning libFuzzer's bytes into the inputs of a parser.
#ifndef MOBILEINFO_FUZZ_FUZZ_INPUT_H
#define MOBILEINFO_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

namespace mobileinfo {
namespace fuzz {

// The bytes as UTF-16LE units, as the platform hands texts to the core; an odd last byte is
// dropped.
inline std::u16string Utf16FromBytes(const uint8_t* data, size_t size) {
  std::u16string text;
  text.reserve(size / 2);
  for (size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

// Splits text at the first separator unit; the second part is empty when there is none.
inline std::pair<std::u16string, std::u16string> SplitAt(const std::u16string& text,
                                                         char16_t separator) {
  const size_t at = text.find(separator);
  if (at == std::u16string::npos) return {text, std::u16string()};
  return {text.substr(0, at), text.substr(at + 1)};
}

// A property every input must keep; a violation is a finding like a crash.
inline void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace fuzz
}  // namespace mobileinfo

#endif  // MOBILEINFO_FUZZ_FUZZ_INPUT_H
