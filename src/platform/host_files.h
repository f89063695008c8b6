// Paths of the files that live in the host directory ("mobileInfo.ini" and the two data files).
#ifndef MOBILEINFO_PLATFORM_HOST_FILES_H
#define MOBILEINFO_PLATFORM_HOST_FILES_H

#include <string>

#include "platform/platform.h"

namespace mobileinfo {

// host directory + separator + name
std::u16string HostFilePath(Platform& platform, const char16_t* name);

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_HOST_FILES_H
