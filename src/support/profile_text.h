// The rules of GetPrivateProfileStringW applied to the text of an initialisation file, for
// platforms and tests that have no profile API of their own.
#ifndef MOBILEINFO_SUPPORT_PROFILE_TEXT_H
#define MOBILEINFO_SUPPORT_PROFILE_TEXT_H

#include <cstdint>
#include <string>

namespace mobileinfo {

// Looks key up in section of the INI text. Section and key names match ignoring case (A-Z);
// surrounding blanks of names and values are ignored, and a value in matching quotes loses them.
// The first matching section and, within it, the first matching key win. A missing section or
// key, or an empty value, gives "" and 0. A longer value is cut to capacity - 1 units. Returns the
// units stored in value. capacity 0 gives 0.
uint32_t ReadProfileText(const std::u16string& text, const std::u16string& section,
                         const std::u16string& key, uint32_t capacity, std::u16string& value);

// Decodes the bytes of an initialisation file: UTF-16LE (or BE) when they start with a byte-order
// mark, otherwise UTF-8 (a UTF-8 byte-order mark is skipped).
std::u16string DecodeProfileBytes(const std::string& bytes);

}  // namespace mobileinfo

#endif  // MOBILEINFO_SUPPORT_PROFILE_TEXT_H
