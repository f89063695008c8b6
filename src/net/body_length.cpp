// One reading of the Content-Length text for every request form: the forms differ only in what
// they accept around the number, never in how the number is read.
#include "net/body_length.h"

#include <new>

namespace mobileinfo {

namespace {

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// A Content-Length text taken apart: blanks, an optional sign, decimal digits, and what follows.
struct LengthText {
  bool sign = false;      // a '+' or '-' before the digits
  bool negative = false;  // that sign was '-'
  size_t digits = 0;
  // The digits' value, saturated: anything beyond ceiling reads as ceiling + 1, so that
  // "4294967297" cannot wrap around to a one-byte body.
  uint64_t value = 0;
  bool only_blanks_after = true;  // nothing but blanks follows the digits
};

LengthText ReadLengthText(const std::u16string& text, uint64_t ceiling) {
  LengthText read;
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    read.sign = true;
    read.negative = text[i++] == u'-';
  }
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    ++read.digits;
    if (read.value <= ceiling) read.value = read.value * 10 + static_cast<uint64_t>(text[i] - u'0');
  }
  if (read.value > ceiling) read.value = ceiling + 1;
  for (; i < text.size(); ++i) {
    if (!IsBlank(text[i])) read.only_blanks_after = false;
  }
  return read;
}

}  // namespace

std::optional<uint32_t> BodyLength(const std::optional<std::u16string>& content_length) {
  if (!content_length) return std::nullopt;
  const LengthText read = ReadLengthText(*content_length, kMaxContentLength);
  if (read.negative || read.value == 0 || read.value > kMaxContentLength) return std::nullopt;
  return static_cast<uint32_t>(read.value);
}

bool ReadAnnouncedBody(HttpRequest& request, std::vector<uint8_t>& buffer, uint32_t& received) {
  received = 0;
  std::optional<uint32_t> length = BodyLength(request.ContentLength());
  if (!length) return false;
  try {
    // n <= kMaxContentLength, so n + 10 cannot overflow.
    buffer.assign(static_cast<size_t>(*length) + 10, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  received = request.Read(buffer.data(), *length);
  if (received > *length) received = *length;  // a backend never delivers more than asked
  return true;
}

WholeBodyLength ExpectedBodyLength(const std::optional<std::u16string>& content_length,
                                   uint32_t max_bytes) {
  WholeBodyLength expected;
  if (!content_length) return expected;
  const LengthText read = ReadLengthText(*content_length, max_bytes);
  if (read.sign || read.digits == 0 || !read.only_blanks_after || read.value > max_bytes) {
    expected.refused = true;
    return expected;
  }
  expected.length = static_cast<uint32_t>(read.value);
  return expected;
}

}  // namespace mobileinfo
