// The reply files of the getDriver requests: their names, and the removal of the ones nobody
// will read any more.
#include "identify/reply_file.h"

#include "support/debug_log.h"

namespace mobileinfo {

namespace {

constexpr size_t kPathUnits = 260;    // the system's path buffers, terminator included
constexpr size_t kPrefixUnits = 3;    // what GetTempFileNameW keeps of a prefix
constexpr size_t kNumberDigits = 16;  // process id and unique number, 8 hex digits each
constexpr char16_t kExtension[] = u".tmp";

void AppendHex(std::u16string& text, uint32_t value) {
  static const char16_t kHex[] = u"0123456789ABCDEF";
  for (int shift = 28; shift >= 0; shift -= 4) text += kHex[(value >> shift) & 0xF];
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The process id in name when it is a reply file's name, or one with a download's suffix.
std::optional<uint32_t> ReplyFileOwner(const std::u16string& name) {
  const std::u16string pass(kPassReplyPrefix, kPrefixUnits);
  const std::u16string refresh(kRefreshReplyPrefix, kPrefixUnits);
  const std::u16string extension(kExtension);
  const size_t end = kPrefixUnits + kNumberDigits + extension.size();
  if (name.size() < end || (name.compare(0, kPrefixUnits, pass) != 0 &&
                            name.compare(0, kPrefixUnits, refresh) != 0)) {
    return std::nullopt;
  }
  uint32_t owner = 0;
  for (size_t i = kPrefixUnits; i < kPrefixUnits + kNumberDigits; ++i) {
    const int digit = HexValue(name[i]);
    if (digit < 0) return std::nullopt;
    if (i < kPrefixUnits + 8) owner = (owner << 4) | static_cast<uint32_t>(digit);
  }
  if (name.compare(kPrefixUnits + kNumberDigits, extension.size(), extension) != 0) {
    return std::nullopt;
  }
  if (name.size() > end && name[end] != u'.') return std::nullopt;
  return owner;
}

}  // namespace

void RemoveLeftoverReplyFiles(Platform& platform, const std::u16string& directory) {
  if (directory.empty()) return;  // no temporary folder: nothing was ever written there
  const uint32_t own = platform.ProcessId();
  for (const char16_t* prefix : {kPassReplyPrefix, kRefreshReplyPrefix}) {
    const std::u16string start(prefix, kPrefixUnits);
    for (const std::u16string& name : platform.ListFiles(directory, start)) {
      const std::optional<uint32_t> owner = ReplyFileOwner(name);
      if (!owner || *owner == own || platform.ProcessExists(*owner)) continue;
      const bool removed = platform.DeleteFile(directory + name);
      MOBILEINFO_LOG(platform,
                     removed ? u"%s of ended process %u removed"
                             : u"%s of ended process %u cannot be removed yet",
                     name.c_str(), *owner);
    }
  }
}

std::optional<ReplyFile> PrepareReplyFile(Platform& platform, const char16_t* prefix) {
  ReplyFile reply;
  reply.directory = platform.TempDirectory();
  if (reply.directory.empty() || reply.directory.size() >= kPathUnits) return std::nullopt;
  RemoveLeftoverReplyFiles(platform, reply.directory);
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
