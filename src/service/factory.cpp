// The library's one export.
#include <new>

#include "service/service.h"

#if defined(_WIN32)
#define MOBILEINFO_EXPORT
#else
#define MOBILEINFO_EXPORT __attribute__((visibility("default")))
#endif

extern "C" MOBILEINFO_EXPORT IPelmoInfo* MOBILEINFO_API CreatePelmoInfo(int32_t, int32_t) {
  try {
    return new (std::nothrow) mobileinfo::MobileInfoService(mobileinfo::Platform::Default());
  } catch (...) {
    return nullptr;
  }
}
