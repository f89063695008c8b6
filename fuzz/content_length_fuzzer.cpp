// The Content-Length text a server sends, and the single body read it sizes. Input: UTF-16LE
// units; up to the first U+FFFF they are the header's text (a leading U+FFFF: no header), after
// it the body the server delivers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "net/net.h"

using namespace mobileinfo;

namespace {

// The same judgement written another way: the decimal digits after blanks and a sign, without
// leading zeros, compared as text against the limit's digits.
std::optional<uint32_t> ReferenceLength(const std::u16string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  std::string digits;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    if (digits.empty() && text[i] == u'0') continue;
    digits.push_back(static_cast<char>(text[i]));
  }
  if (negative || digits.empty() || digits.size() > 7) return std::nullopt;
  const unsigned long value = std::stoul(digits);
  if (value > kMaxContentLength) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// A reply that announces the header and hands out the body, claiming every byte of it even when
// it was asked for less (a backend that miscounts).
class ScriptedRequest : public HttpRequest {
 public:
  ScriptedRequest(std::optional<std::u16string> length, std::string body)
      : length_(std::move(length)), body_(std::move(body)) {}
  uint32_t StatusCode() override { return 200; }
  std::optional<std::u16string> ContentLength() override { return length_; }
  uint32_t Read(void* buffer, uint32_t size) override {
    ++reads;
    const size_t n = body_.size() < size ? body_.size() : size;
    std::memcpy(buffer, body_.data(), n);
    return static_cast<uint32_t>(body_.size());
  }
  bool BodyEnded() override { return reads > 0; }
  void Cancel() override {}
  int reads = 0;

 private:
  std::optional<std::u16string> length_;
  std::string body_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string units = fuzz::Utf16FromBytes(data, size);
  const auto parts = fuzz::SplitAt(units, u'\xFFFF');
  std::optional<std::u16string> header;
  if (units.empty() || units[0] != u'\xFFFF') header = parts.first;

  const std::optional<uint32_t> length = BodyLength(header);
  const std::optional<uint32_t> expected = header ? ReferenceLength(*header) : std::nullopt;
  fuzz::Require(length == expected);

  std::string body;
  for (char16_t unit : parts.second) body.push_back(static_cast<char>(unit & 0xFF));
  ScriptedRequest request(header, body);
  std::vector<uint8_t> buffer;
  uint32_t received = 123;
  const bool read = ReadAnnouncedBody(request, buffer, received);
  fuzz::Require(read == length.has_value());
  if (read) {
    fuzz::Require(request.reads == 1 && buffer.size() == *length + size_t{10});
    fuzz::Require(received <= *length);
  } else {
    fuzz::Require(request.reads == 0 && received == 0);
  }
  return 0;
}
