#include "cache/remove_aside.h"

#include <algorithm>

namespace mobileinfo {

namespace {

constexpr size_t kMaxPath = 260;  // units before the terminator of a MAX_PATH buffer

// The path as a C string sees it: up to its first NUL.
std::u16string CText(const std::u16string& text) { return text.substr(0, text.find(u'\0')); }

// PathRemoveFileSpecW: drops the last component and the separator before it, but keeps a root
// ("C:\", "\", the "\\" of a UNC name). Drive letters exist only where the separator is '\'; on
// other systems ':' is an ordinary character of a name.
void RemoveFileSpec(std::u16string& path, char16_t separator) {
  const bool drives = separator == u'\\';
  size_t i = 0;
  size_t spec = 0;
  if (i < path.size() && path[i] == separator) spec = ++i;
  if (i < path.size() && path[i] == separator) spec = ++i;
  while (i < path.size()) {
    if (path[i] == separator) {
      spec = i;
    } else if (drives && path[i] == u':') {
      spec = ++i;
      if (i < path.size() && path[i] == separator) ++spec;
      if (i >= path.size()) break;
    }
    ++i;
  }
  if (spec < path.size()) path.resize(spec);
}

// PathFindFileNameW: what follows the last separator that is followed by a name. Windows also
// takes '/' and the drive colon as separators here.
std::u16string FindFileName(const std::u16string& path, char16_t separator) {
  auto is_separator = [&](char16_t c) {
    return c == separator || (separator == u'\\' && c == u'/');
  };
  size_t start = 0;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    bool splits = is_separator(path[i]) || (separator == u'\\' && path[i] == u':');
    if (splits && !is_separator(path[i + 1])) start = i + 1;
  }
  return path.substr(start);
}

void AppendCut(std::u16string& text, const std::u16string& tail) {
  size_t room = text.size() < kMaxPath ? kMaxPath - text.size() : 0;
  text.append(tail, 0, std::min(room, tail.size()));
}

}  // namespace

std::u16string AsideFileName(const std::u16string& path, char16_t separator) {
  const std::u16string full = CText(path);
  std::u16string aside = full.substr(0, kMaxPath);
  RemoveFileSpec(aside, separator);
  AppendCut(aside, u"~");
  AppendCut(aside, FindFileName(full, separator));
  return aside;
}

int RemoveOrMoveAside(Platform& platform, const std::u16string& path) {
  if (!platform.FileExists(path)) return 1;
  if (platform.DeleteFile(path)) return 1;
  const std::u16string aside = AsideFileName(path, platform.PathSeparator());
  // A file left aside by an earlier run would block the move.
  if (platform.FileExists(aside)) platform.DeleteFile(aside);
  if (!platform.MoveFile(path, aside)) return 0;
  return platform.ScheduleDelete(aside) ? 1 : 0;
}

}  // namespace mobileinfo
