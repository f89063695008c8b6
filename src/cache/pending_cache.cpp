// TEMPORARY: placeholder bodies so the tree links while the phone cache is written. Delete when
// phone_cache.cpp lands.
#include "service/service.h"
namespace mobileinfo {
int MobileInfoService::LoadPhoneCache() { return 0; }
int MobileInfoService::SavePhoneCache() { return 0; }
}  // namespace mobileinfo
