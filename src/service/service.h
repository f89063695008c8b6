// The service object behind the 15-slot interface: its members, its lifecycle and the operations
// of every subsystem that works on its state. The bodies live in the subsystem folders
// (service/, usb/, identify/, cache/); this header is the one place that lists the state and
// which lock guards what.
#ifndef MOBILEINFO_SERVICE_SERVICE_H
#define MOBILEINFO_SERVICE_SERVICE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mobileinfo/mobileinfo.h"
#include "platform/platform.h"
#include "service/events.h"
#include "service/records.h"

namespace mobileinfo {

// Timing of the worker threads. The defaults are the production values; tests shorten them.
struct ServiceTimings {
  uint32_t poll_ms = 200;               // notification thread's poll while a report is pending
  uint32_t grace_ms = 3000;             // arrival report's grace period
  uint32_t download_limit_ms = 10000;   // wait for one getDriver download
  uint32_t refresh_limit_ms = 60000;    // RefreshDriverInfo's whole call, from lock to reply
  uint32_t stop_wait_ms = 1000;         // Stop's wait for each worker thread
};

// The web service's base address (scheme and host), fixed at build time.
std::u16string DefaultServiceBase();

// One candidate of a getDriver request with its driver id.
struct DriverLookupEntry {
  UsbDeviceRecord device;
  char16_t driver_id[32];
};

class MobileInfoService final : public IPelmoInfo {
 public:
  explicit MobileInfoService(Platform& platform, ServiceTimings timings = ServiceTimings(),
                             std::u16string service_base = DefaultServiceBase());
  ~MobileInfoService();
  MobileInfoService(const MobileInfoService&) = delete;
  MobileInfoService& operator=(const MobileInfoService&) = delete;

  // --- the host's slots (0-12) -------------------------------------------------------------
  void Release() override;
  int32_t Init(IPelmoInfoSink* sink, int32_t fresh_start) override;
  int32_t Start() override;
  int32_t Stop() override;
  void OnDeviceChange(uint32_t event_type, int32_t event_data) override;
  int32_t* Reserved5(int32_t* slot, int32_t ignored) override;
  void FreeBuffer(void* buffer) override;
  int32_t Reserved7(int32_t ignored) override;
  int32_t Reserved8(int32_t ignored) override;
  int32_t Reserved9(int32_t a, int32_t b, int32_t c) override;
  int32_t RefreshDriverInfo(PhoneRecord* record) override;
  void ExcludeFromCache(MobileInfoWideString serial) override;
  int32_t QueryPhoneStatus(PhoneRecord* record) override;
  // Slot 13: the destructor; frees the storage when bit 0 of flags is set. Returns this.
  virtual void* DeletingDestructor(uint32_t flags);
  // Slot 14: empties the containers, then destroys through slot 13 with flags 1.
  virtual void ClearAndDestroy();

  // --- settings and environment ------------------------------------------------------------
  int32_t ReadSettings();
  int32_t GetOsCode();
  int32_t Is64BitOs();
  std::u16string GetHostDirectory();
  // host directory + separator + name
  std::u16string HostFilePath(const char16_t* name);

  // --- phone records and the notification thread -------------------------------------------
  uint32_t QueryAdbStatus(PhoneRecord& record);
  void RunNotificationLoop(ServiceEvents& events);
  int PollArrivalReport();

  // --- USB and ADB scans -------------------------------------------------------------------
  int ScanUsbDevices();
  void DiffDevices(DeviceMap previous, DeviceMap current);
  // 1 when the enumeration ran to its end; 0 otherwise, with the error that stopped it in
  // last_adb_error().
  int ScanAdbInterfaces(const std::u16string& class_guid);

  // --- scan thread and change processing ---------------------------------------------------
  void ScanThreadMain(ServiceEvents& events);
  void ProcessChanges(int arrivals);
  int ClassifyArrivals(const DeviceList& taken, DeviceList& output);
  int IsKnownPhoneSerial(const std::u16string& serial);
  int IsRejectedModel(const std::u16string& device_key);
  int RemoveDevice(const UsbDeviceRecord& record);
  int PublishPhones(const DeviceList& output);

  // --- identification ----------------------------------------------------------------------
  void ReportUnidentifiedDevice(const std::u16string& device_key);
  void IdentifyNewDevices(const DeviceList& candidates, DeviceList& output);
  bool IsAdbDevice(const UsbDeviceRecord& device);
  bool RequestDriverInfo(const DeviceList& candidates, std::u16string& reply_path,
                         std::vector<DriverLookupEntry>& lookup);

  // --- data files ----------------------------------------------------------------------------
  int LoadPhoneCache();
  int SavePhoneCache();
  int LoadDeviceSnapshot();
  int SaveDeviceSnapshot();

  Platform& platform() { return platform_; }
  const ServiceTimings& timings() const { return timings_; }
  uint32_t last_adb_error() const { return last_adb_error_; }

 private:
  friend struct ServicePeer;  // tests

  struct WorkerThread {
    std::thread thread;
    std::shared_ptr<ServiceEvents> events;  // the thread's own reference
    std::shared_ptr<std::mutex> done_mutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::condition_variable> done_cv = std::make_shared<std::condition_variable>();
    std::shared_ptr<bool> done = std::make_shared<bool>(false);
  };
  // Writes a built phone cache image under cache_file_lock_ unless a newer one is on disk.
  int WritePhoneCacheImage(const std::vector<PhoneRecord>& records, uint64_t generation);
  bool StartWorker(WorkerThread& worker, void (MobileInfoService::*body)(ServiceEvents&));
  bool WaitWorker(WorkerThread& worker, uint32_t timeout_ms);  // true when it has ended
  void JoinWorkers();
  void ClearContainers();
  // The events the worker functions signal: those of the running threads, else Init's.
  ServiceEvents* WorkerEvents();

  Platform& platform_;
  const ServiceTimings timings_;
  const std::u16string service_base_;

  // Members in the order of the original object.
  IPelmoInfoSink* sink_ = nullptr;

  // cache_lock_ guards model_status_, phone_info_ and exclusion_set_: the scan thread changes them
  // while host threads refresh, exclude and save.
  std::mutex cache_lock_;
  ModelStatusMap model_status_;
  PhoneInfoMap phone_info_;

  std::vector<PhoneRecord> phone_list_;
  std::mutex phone_list_lock_;  // guards phone_list_

  AdbMap adb_devices_;          // guarded by adb_lock_
  DeviceMap present_devices_;   // scan thread only (and Init/destruction)
  std::set<std::u16string> exclusion_set_;  // guarded by cache_lock_
  DeviceList arrivals_;         // scan thread only
  DeviceList removals_;         // scan thread only
  std::mutex adb_lock_;         // guards adb_devices_ and every ADB enumeration
  std::mutex enumeration_lock_; // held around the platform's USB enumeration

  // Events: created by Init, dropped by Stop. Worker threads keep their own reference.
  std::shared_ptr<ServiceEvents> events_;
  std::shared_ptr<ServiceEvents> worker_events_;
  WorkerThread scan_thread_;
  WorkerThread notification_thread_;

  int32_t os_code_ = 0;
  int32_t bitness_code_ = 1;
  int32_t cache_timeout_days_ = 1;
  int32_t grace_period_s_ = 3;
  std::atomic<uint32_t> publication_tick_{0};  // written by the scan thread, read by the notification thread
  int32_t negative_cache_stamp_ = 0;

  // RefreshDriverInfo has a reply file of its own (the identification pass never waits for a
  // refresh); refreshing_ gives it to one refresh at a time, and a refresh waits for its turn on
  // refresh_cv_ no longer than its own time limit. refresh_lock_ guards refreshing_ only and is
  // never held together with another lock.
  std::mutex refresh_lock_;
  std::condition_variable refresh_cv_;
  bool refreshing_ = false;
  // Serialises writers of the phone cache file (scan thread and Stop); see SavePhoneCache.
  std::mutex cache_file_lock_;
  uint64_t cache_image_generation_ = 0;    // guarded by cache_lock_
  std::vector<PhoneRecord> cache_image_spare_;  // guarded by cache_lock_: the last save's buffer
  uint64_t cache_written_generation_ = 0;  // guarded by cache_file_lock_

  std::atomic<uint32_t> last_adb_error_{0};  // written under adb_lock_, read by anyone
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_SERVICE_H
