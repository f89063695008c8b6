// What the service object's sessions share: the parts that own the library's state, each with the
// lock that guards it, and the timings. The host's object holds it, and so does every run and
// every worker thread of a run, so a worker that outlives Stop or destruction still finds
// everything it uses. The service object and its runs drive the parts; no part knows another
// except the identifier, which is built from the store and the ADB registry.
#ifndef MOBILEINFO_SERVICE_SERVICE_CORE_H
#define MOBILEINFO_SERVICE_SERVICE_CORE_H

#include <cstdint>
#include <string>

#include "cache/phone_store.h"
#include "identify/identifier.h"
#include "platform/host_files.h"
#include "platform/platform.h"
#include "service/phone_list.h"
#include "usb/adb_registry.h"
#include "usb/device_tracker.h"

namespace mobileinfo {

// Timing of the worker threads. The defaults are the production values; tests shorten them.
struct ServiceTimings {
  uint32_t poll_ms = 200;               // notification thread's poll while a report is pending
  uint32_t grace_ms = 3000;             // arrival report's grace period
  uint32_t download_limit_ms = 10000;   // wait for one getDriver download
  uint32_t refresh_limit_ms = 60000;    // RefreshDriverInfo's whole call, from lock to reply
  uint32_t stop_wait_ms = 1000;         // Stop's wait for each worker thread
  // Stop's and destruction's wait for a host's sink call in flight. Only a sink blocked on
  // something the library cannot release lasts this long; Stop then returns all the same.
  uint32_t sink_wait_ms = 20000;
};

// The web service's base address (scheme and host), fixed at build time.
std::u16string DefaultServiceBase();

struct ServiceCore {
  ServiceCore(Platform& platform, ServiceTimings timings, std::u16string service_base)
      : platform(platform),
        timings(timings),
        data_directory(platform),
        tracker(platform, &data_directory),
        adb(platform),
        store(platform, &data_directory),
        identifier(platform, store, adb, std::move(service_base), timings.download_limit_ms,
                   timings.refresh_limit_ms) {}
  ServiceCore(const ServiceCore&) = delete;
  ServiceCore& operator=(const ServiceCore&) = delete;

  Platform& platform;
  const ServiceTimings timings;
  DataDirectory data_directory;  // chosen by each Init
  DeviceTracker tracker;
  AdbRegistry adb;
  PhoneStore store;
  Identifier identifier;
  PhoneList phone_list;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_SERVICE_CORE_H
