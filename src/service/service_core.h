// What the service object's sessions share: the parts that own the library's state, each with the
// one lock that guards it, the settings Init takes, and the identification operations that work
// across the parts. The host's object holds it, and so does every run and every worker thread of
// a run, so a worker that outlives Stop or destruction still finds everything it uses.
#ifndef MOBILEINFO_SERVICE_SERVICE_CORE_H
#define MOBILEINFO_SERVICE_SERVICE_CORE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cache/phone_store.h"
#include "platform/platform.h"
#include "service/phone_list.h"
#include "service/records.h"
#include "usb/adb_registry.h"
#include "usb/device_tracker.h"

namespace mobileinfo {

class SinkGate;

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

// One candidate of a getDriver request with its driver id.
struct DriverLookupEntry {
  UsbDeviceRecord device;
  char16_t driver_id[32];
};

class ServiceCore {
 public:
  ServiceCore(Platform& platform, ServiceTimings timings, std::u16string service_base);
  ServiceCore(const ServiceCore&) = delete;
  ServiceCore& operator=(const ServiceCore&) = delete;

  // --- settings and environment (settings.cpp) ----------------------------------------------
  int32_t ReadSettings();
  int32_t GetOsCode();
  int32_t Is64BitOs();
  std::u16string GetHostDirectory();
  std::u16string HostFilePath(const char16_t* name);

  // --- arrivals and identification ----------------------------------------------------------
  // A worker passes its run's gate: once it is closed, results are dropped and nothing is
  // reported. Host threads and tests pass none.
  int ClassifyArrivals(const DeviceList& taken, DeviceList& output, SinkGate* gate = nullptr);
  void IdentifyNewDevices(const DeviceList& candidates, DeviceList& output,
                          SinkGate* gate = nullptr);
  bool RequestDriverInfo(const DeviceList& candidates, std::u16string& reply_path,
                         std::vector<DriverLookupEntry>& lookup);
  void ReportUnidentifiedDevice(const std::u16string& device_key);
  int32_t RefreshDriverInfo(PhoneRecord* record);

  Platform& platform() { return platform_; }
  const ServiceTimings& timings() const { return timings_; }

  DeviceTracker tracker;
  AdbRegistry adb;
  PhoneStore store;
  PhoneList phone_list;

 private:
  friend struct ServicePeer;  // tests
  Platform& platform_;
  const ServiceTimings timings_;
  const std::u16string service_base_;
  // Set by Init, read by the scan thread and RefreshDriverInfo.
  std::atomic<int32_t> os_code_{0};
  std::atomic<int32_t> bitness_code_{1};
  friend class MobileInfoService;
  // Serialises the identification passes of an abandoned scan thread and of the next run's, so
  // that a service object has one getDriver download and reply file at a time. Never held
  // together with another lock.
  std::mutex pass_reply_lock_;
  // RefreshDriverInfo has reply files of its own (the identification pass never waits for a
  // refresh); refreshing_ lets one refresh at a time download, and a refresh waits for its turn on
  // refresh_cv_ no longer than its own time limit. refresh_lock_ guards refreshing_ only and is
  // never held together with another lock.
  std::mutex refresh_lock_;
  std::condition_variable refresh_cv_;
  bool refreshing_ = false;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_SERVICE_CORE_H
