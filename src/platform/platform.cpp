#include "platform/platform.h"

#include "support/wide_string.h"

namespace mobileinfo {

void FormatterMisuse(const char16_t* message) { Platform::Default().DebugTrap(message); }

}  // namespace mobileinfo
