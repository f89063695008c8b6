// The library's exports: the factory, and the two plain C functions for hosts written since.
#include <new>

#include "service/service.h"
#include "support/wide_string.h"

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

extern "C" MOBILEINFO_EXPORT int32_t MOBILEINFO_API MobileInfoListPhones(IPelmoInfo* service,
                                                                       PhoneRecord* records,
                                                                       int32_t capacity) {
  try {
    return mobileinfo::MobileInfoService::ListPhones(service, records, capacity);
  } catch (...) {
    return 0;
  }
}

extern "C" MOBILEINFO_EXPORT MobileInfoWideString MOBILEINFO_API
MobileInfoNewString(const char16_t* text, int32_t units) {
  return MobileInfoWideString{mobileinfo::WideString::NewHostBlock(text, units)};
}
