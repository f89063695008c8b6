// The Content-Length rule: how many body bytes a reply announces, and whether the library takes
// a reply that announces them. Both download forms and the reports judge a reply by this alone;
// no backend judges one.
#ifndef MOBILEINFO_NET_BODY_LENGTH_H
#define MOBILEINFO_NET_BODY_LENGTH_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mobileinfo {

// Replies are small documents. A larger announced length is refused like a missing header, so a
// broken or hostile server cannot make the library commit memory without bound.
constexpr uint32_t kMaxContentLength = 1u << 20;

// The number of body bytes to read for a Content-Length header: the header's leading decimal
// number (blanks and a sign allowed, as _wtoi reads it). Nothing when there is no header, the
// number is not positive, or it exceeds kMaxContentLength (an overflowing number counts as
// exceeding it).
std::optional<uint32_t> BodyLength(const std::optional<std::u16string>& content_length);

// The single read the report and the list form make: when the reply's Content-Length is
// acceptable, a zero-filled buffer of that length + 10 bytes and one Read of that length into
// it. False (and nothing read) when the length is refused or the buffer cannot be had; received
// is then 0.
bool ReadAnnouncedBody(HttpRequest& request, std::vector<uint8_t>& buffer, uint32_t& received);

// What the whole-body download expects of a reply, from its Content-Length header.
struct WholeBodyLength {
  bool refused = false;
  // The announced length; nothing when no header came and the body runs to the end of the reply.
  std::optional<uint32_t> length;
};

// The whole-body download's reading of the header: without one, any body of at most max_bytes;
// with one, it must be a decimal number alone (blanks around it allowed, no sign, leading zeros
// allowed) of at most max_bytes, and the body exactly that long. Any other text refuses the
// reply: a reader that took "12abc" or "-5" for some length would store a body nobody announced.
WholeBodyLength ExpectedBodyLength(const std::optional<std::u16string>& content_length,
                                   uint32_t max_bytes);

}  // namespace mobileinfo

#endif  // MOBILEINFO_NET_BODY_LENGTH_H
