// The reply file the two getDriver request forms save their replies to, whose name is the request's own: no other pass or refresh of any service object of any process
// on the machine uses it meanwhile.
#ifndef MOBILEINFO_IDENTIFY_REPLY_FILE_H
#define MOBILEINFO_IDENTIFY_REPLY_FILE_H

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace mobileinfo {

struct ReplyFile {
  std::u16string directory;  // the temporary folder
  std::u16string path;       // the reply file in it
};

// The name prefixes of the two reply files: the identification pass's, and RefreshDriverInfo's
// own, so that a refresh on a host thread never holds up the scan thread's pass. A name keeps
// the first three units of its prefix, so they differ there.
constexpr char16_t kPassReplyPrefix[] = u"!lyinfo%^&";
constexpr char16_t kRefreshReplyPrefix[] = u"!lrinfo";

// Forms a reply file name of the request's own in the temporary folder, GetTempFileNameW's form
// with a wider number: the first three units of prefix, the process id and the platform's next
// unique number as 8 + 8 upper-case hex digits, ".tmp". Deletes any file of that name (one an
// ended process of the same id left). First removes what ended processes left behind
// (RemoveLeftoverReplyFiles). Nothing when the folder or the name does not fit the 260-unit path
// buffers of the system.
std::optional<ReplyFile> PrepareReplyFile(Platform& platform, const char16_t* prefix);

// Deletes the reply file of a pass or refresh that is over, whether or not a reply came: once
// the download call has returned, nothing writes it any more. Throws nothing.
void RemoveReplyFile(Platform& platform, const std::u16string& path) noexcept;

// Deletes, in the temporary folder directory, the reply files of processes that no longer exist
// and the files a download wrote beside them (the reply file's name, '.', more): a
// process killed in the middle of a pass or a refresh leaves them, and nobody else would. The
// files of this process's id are left alone: they may be in use by another service object.
// Called before each request and at the start of each run; nothing for an empty directory.
void RemoveLeftoverReplyFiles(Platform& platform, const std::u16string& directory);

}  // namespace mobileinfo

#endif  // MOBILEINFO_IDENTIFY_REPLY_FILE_H
