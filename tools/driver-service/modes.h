// The ways the test service can be told to answer the two service endpoints, so that one
// running server can play a healthy service and each kind of broken one in turn.
#pragma once

#include <string>

namespace driver_service {

enum class Mode {
  kNormal,           // 200, the reply with its Content-Length
  kNoContentLength,  // 200, the reply in chunked encoding, no Content-Length
  kSlow,             // the normal answer after a delay (12 s unless set otherwise)
  kErrorPage,        // 500 with an HTML body and its Content-Length
  kHugeLength,       // Content-Length 2147483647 (or the set length), the short reply, close
  kTruncated,        // Content-Length of the whole reply, half of it sent, close
  kClose,            // the request is read and logged, the connection closed without a byte
  kUtf16,            // the normal answer with the reply in UTF-16LE behind a byte-order mark
  kBinary,           // 200, random bytes (4096 or the set length) with their Content-Length
  kTrickle,          // the normal answer, one byte every delay_ms (500 unless set)
  kHuge,             // the normal reply, then filler lines up to 2 GiB (or the set length) in all,
                     // with its Content-Length
  kHugeChunked,      // as kHuge, chunked, without Content-Length
  kRedirectLoop,     // 302 back to the same target, for ever
  kLongBody,         // the normal reply's Content-Length, then more bytes than it announced
  kBadLength,        // the normal reply behind the Content-Length text given as text= ("abc")
  kNuls,             // the reply with a NUL after every byte (UTF-16LE without byte-order mark)
  kLongLines,        // the reply with a 70 000-byte comment line and key before each section
  kManySections,     // 5000 sections of unrequested ids, then the reply
};

bool ParseMode(const std::string& name, Mode* mode);
const char* ModeName(Mode mode);
// All mode names, separated by ", ", for messages.
std::string ModeNames();

}  // namespace driver_service
