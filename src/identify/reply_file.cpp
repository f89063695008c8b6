// The reply files of the getDriver requests: their names and their removal.
#include "identify/reply_file.h"

#include "support/debug_log.h"

namespace mobileinfo {

namespace {

constexpr size_t kPathUnits = 260;    // the system's path buffers, terminator included
constexpr size_t kPrefixUnits = 3;    // what GetTempFileNameW keeps of a prefix
constexpr char16_t kExtension[] = u".tmp";

void AppendHex(std::u16string& text, uint32_t value) {
  static const char16_t kHex[] = u"0123456789ABCDEF";
  for (int shift = 28; shift >= 0; shift -= 4) text += kHex[(value >> shift) & 0xF];
}

}  // namespace

std::optional<ReplyFile> PrepareReplyFile(Platform& platform, const char16_t* prefix) {
  ReplyFile reply;
  reply.directory = platform.TempDirectory();
  if (reply.directory.empty() || reply.directory.size() >= kPathUnits) return std::nullopt;
  reply.path = reply.directory;
  reply.path.append(prefix, kPrefixUnits);
  AppendHex(reply.path, platform.ProcessId());
  AppendHex(reply.path, platform.NextUniqueNumber());
  reply.path += kExtension;
  if (reply.path.size() >= kPathUnits) return std::nullopt;
  platform.DeleteFile(reply.path);  // hardly ever there; a failure shows in the download's result
  return reply;
}

void RemoveReplyFile(Platform& platform, const std::u16string& path) noexcept {
  try {
    if (path.empty() || !platform.FileExists(path)) return;
    if (!platform.DeleteFile(path)) {
      MOBILEINFO_LOG(platform, u"reply file %s cannot be removed", path.c_str());
    }
  } catch (...) {
    // Left for a later run to remove, once this process has ended.
  }
}

}  // namespace mobileinfo
