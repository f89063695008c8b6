// What the two getDriver request forms share: the start of the request URL and the reply file,
// whose name is the same for every request of one form in one process.
#ifndef MOBILEINFO_IDENTIFY_REPLY_FILE_H
#define MOBILEINFO_IDENTIFY_REPLY_FILE_H

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace mobileinfo {

// service_base + "/intf/getDriver?os=<os_code>&bit=<bitness_code>&id=", ready for driver ids.
std::u16string GetDriverUrlStart(const std::u16string& service_base, int32_t os_code,
                                 int32_t bitness_code);

struct ReplyFile {
  std::u16string directory;  // the temporary folder
  std::u16string path;       // the reply file in it
};

// The name prefixes of the two reply files: the identification pass's, and RefreshDriverInfo's
// own, so that a refresh on a host thread never holds up the scan thread's pass. The system
// keeps the first three units of a prefix, so they differ there.
constexpr char16_t kPassReplyPrefix[] = u"!lyinfo%^&";
constexpr char16_t kRefreshReplyPrefix[] = u"!lrinfo";

// Forms a reply file's name in the temporary folder (prefix, the process id as unique number)
// and deletes any file of that name. Nothing when the folder or the name does not fit the
// 260-unit path buffers of the system.
std::optional<ReplyFile> PrepareReplyFile(Platform& platform, const char16_t* prefix);

}  // namespace mobileinfo

#endif  // MOBILEINFO_IDENTIFY_REPLY_FILE_H
