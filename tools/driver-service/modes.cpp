#include "modes.h"

namespace driver_service {
namespace {

struct NamedMode {
  Mode mode;
  const char* name;
};

constexpr NamedMode kModes[] = {
    {Mode::kNormal, "normal"},
    {Mode::kNoContentLength, "no-content-length"},
    {Mode::kSlow, "slow"},
    {Mode::kErrorPage, "error-page"},
    {Mode::kHugeLength, "huge-length"},
    {Mode::kTruncated, "truncated"},
    {Mode::kClose, "close"},
    {Mode::kUtf16, "utf16"},
    {Mode::kBinary, "binary"},
    {Mode::kTrickle, "trickle"},
    {Mode::kHuge, "huge"},
    {Mode::kHugeChunked, "huge-chunked"},
    {Mode::kRedirectLoop, "redirect-loop"},
    {Mode::kLongBody, "long-body"},
    {Mode::kBadLength, "bad-length"},
    {Mode::kNuls, "nuls"},
    {Mode::kLongLines, "long-lines"},
    {Mode::kManySections, "many-sections"},
};

}  // namespace

bool ParseMode(const std::string& name, Mode* mode) {
  for (const NamedMode& entry : kModes) {
    if (name == entry.name) {
      *mode = entry.mode;
      return true;
    }
  }
  return false;
}

const char* ModeName(Mode mode) {
  for (const NamedMode& entry : kModes) {
    if (entry.mode == mode) return entry.name;
  }
  return "?";
}

std::string ModeNames() {
  std::string names;
  for (const NamedMode& entry : kModes) {
    if (!names.empty()) names += ", ";
    names += entry.name;
  }
  return names;
}

}  // namespace driver_service
