// The shared UTF-16 string: one pointer to the characters of a reference-counted block whose
// header (reference count, length, capacity; three int32) sits in front of them. Copies share the
// block; a write makes the block private first (copy-on-write). The header layout is shared with
// the host, which hands blocks over through ExcludeFromCache.
#ifndef MOBILEINFO_SUPPORT_WIDE_STRING_H
#define MOBILEINFO_SUPPORT_WIDE_STRING_H

#include <cstdarg>
#include <cstdint>
#include <string>

namespace mobileinfo {

struct WideStringHeader {
  int32_t refs;      // >= 1: sharers; < 0: a static empty block (a host's too), never counted
  int32_t length;    // units, without the terminator
  int32_t capacity;  // units the block can hold, without the terminator
};
static_assert(sizeof(WideStringHeader) == 12, "block header is part of the host ABI");

class WideString {
 public:
  WideString();
  WideString(const char16_t* text);  // NOLINT: implicit on purpose, like the original type
  explicit WideString(const std::u16string& text);
  WideString(const WideString& other);
  WideString(WideString&& other) noexcept;
  WideString& operator=(const WideString& other);
  WideString& operator=(WideString&& other) noexcept;
  WideString& operator=(const char16_t* text);
  ~WideString();

  // --- a host's block, handed over by value (ExcludeFromCache) or made for it ---------------
  // The text of a host's block: its length's units (none for a negative length).
  static std::u16string HostText(const char16_t* text);
  // Gives up the one reference the host handed over. Returns the block (its header's address)
  // when that was the last, for the caller to free with its heap's function; null while the
  // block lives on, and for null and blocks that are never counted (negative count: a static
  // empty value, a locked block).
  static void* ReleaseHostReference(char16_t* text);
  // A block of this library's C runtime heap holding units units of text, terminated, count 1:
  // what MobileInfoNewString hands a host. Null for null text, a negative count or no memory.
  static char16_t* NewHostBlock(const char16_t* text, int units);

  int Length() const { return Header()->length; }
  const char16_t* c_str() const { return text_; }
  std::u16string ToU16() const { return std::u16string(text_, static_cast<size_t>(Length())); }

  // Makes the block private with capacity >= n and copies n units. False when no block can be had
  // (the string is then empty).
  bool AssignText(int n, const char16_t* source);

  // printf-style formatting in two passes: estimate the longest result, then format into a buffer
  // of that size. False, the string unchanged, when no buffer can be had.
  bool Format(const char16_t* format, ...);
  bool FormatV(const char16_t* format, va_list args);

  // Counts the block down and points at the empty value.
  void Release();

  // Pass 1 of Format, exposed for tests: the estimated length for this format and arguments.
  static int EstimateLength(const char16_t* format, va_list args);

 private:
  WideStringHeader* Header() const {
    return reinterpret_cast<WideStringHeader*>(const_cast<char16_t*>(text_)) - 1;
  }
  static char16_t* AllocateBlock(int capacity);
  static void ReleaseBlock(char16_t* text);

  char16_t* text_;
};

// True when the two values share one block (for tests of copy-on-write).
bool SharesBlockForTesting(const WideString& a, const WideString& b);
// The static empty block's header, for tests that check it is never counted.
const WideStringHeader* EmptyBlockHeaderForTesting();

// The formatter behind Format (pass 2). Follows wvsprintfW's conversions: %% c C s S d i u x X p
// with flags "-+0 #", width and precision ("*" takes an argument), size prefixes h l I64.
// Writes at most capacity - 1 units plus a terminator; returns the units written (no terminator).
int FormatWideV(char16_t* out, int capacity, const char16_t* format, va_list args);
int FormatWide(char16_t* out, int capacity, const char16_t* format, ...);

// Called by the formatter for a conversion that no format of the system supports (floating
// point): a programming error. The platform layer defines it: the backend's debug trap.
void FormatterMisuse(const char16_t* message);

}  // namespace mobileinfo

#endif  // MOBILEINFO_SUPPORT_WIDE_STRING_H
