#include "platform/platform.h"

#include <cstdlib>

#include "support/wide_string.h"

namespace mobileinfo {

bool Platform::FreeHostBlock(void* block) {
  std::free(block);
  return true;
}

void FormatterMisuse(const char16_t* message) { Platform::Default().DebugTrap(message); }

}  // namespace mobileinfo
