#include "platform/platform.h"

#include <cstdlib>

#include "support/wide_string.h"

namespace mobileinfo {

const char16_t* FileErrorText(FileError error) {
  switch (error) {
    case FileError::kNone: return u"no error";
    case FileError::kNotFound: return u"not there";
    case FileError::kInUse: return u"held by another program";
    case FileError::kAccessDenied: return u"access denied";
    case FileError::kDiskFull: return u"disk full";
    case FileError::kOther: break;
  }
  return u"failed";
}

bool Platform::FreeHostBlock(void* block) {
  std::free(block);
  return true;
}

void FormatterMisuse(const char16_t* message) { Platform::Default().DebugTrap(message); }

}  // namespace mobileinfo
