// The service's settings and the two operating-system probes that Init reads: the phone cache's
// time-out from "mobileInfo.ini" in the host directory, and the codes sent with every getDriver
// request.
#ifndef MOBILEINFO_SERVICE_SETTINGS_H
#define MOBILEINFO_SERVICE_SETTINGS_H

#include <cstdint>

#include "cache/phone_store.h"
#include "platform/host_files.h"
#include "platform/platform.h"

namespace mobileinfo {

// Reads [main] MobileInfoCacheTimeOut from "mobileInfo.ini" (in directory; null: beside the host)
// into the store. True when the file had the key; false when the defaults hold.
bool ReadSettings(Platform& platform, PhoneStore& store, DataDirectory* directory = nullptr);
// The Windows version's code (0 when unknown or not an NT system).
int32_t GetOsCode(Platform& platform);
// True on a 64-bit system, whatever the process's own bitness.
bool Is64BitOs(Platform& platform);

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_SETTINGS_H
