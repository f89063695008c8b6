// Test access to the service object's state. Tests use it to set up maps and lists the way the
// worker threads would and to read back what an operation did.
#ifndef MOBILEINFO_TESTS_SERVICE_PEER_H
#define MOBILEINFO_TESTS_SERVICE_PEER_H

#include "service/service.h"

namespace mobileinfo {

struct ServicePeer {
  using S = MobileInfoService;
  static IPelmoInfoSink*& sink(S& s) { return s.sink_; }
  static ModelStatusMap& model_status(S& s) { return s.model_status_; }
  static PhoneInfoMap& phone_info(S& s) { return s.phone_info_; }
  static std::vector<PhoneRecord>& phone_list(S& s) { return s.phone_list_; }
  static std::mutex& phone_list_lock(S& s) { return s.phone_list_lock_; }
  static AdbMap& adb_devices(S& s) { return s.adb_devices_; }
  static DeviceMap& present_devices(S& s) { return s.present_devices_; }
  static std::set<std::u16string>& exclusion_set(S& s) { return s.exclusion_set_; }
  static DeviceList& arrivals(S& s) { return s.arrivals_; }
  static DeviceList& removals(S& s) { return s.removals_; }
  static std::shared_ptr<ServiceEvents>& events(S& s) { return s.events_; }
  static ServiceEvents* worker_events(S& s) { return s.WorkerEvents(); }
  static int32_t& os_code(S& s) { return s.os_code_; }
  static int32_t& bitness_code(S& s) { return s.bitness_code_; }
  static int32_t& cache_timeout_days(S& s) { return s.cache_timeout_days_; }
  static int32_t& grace_period_s(S& s) { return s.grace_period_s_; }
  static std::atomic<uint32_t>& publication_tick(S& s) { return s.publication_tick_; }
  static int32_t& negative_cache_stamp(S& s) { return s.negative_cache_stamp_; }
  static std::mutex& cache_lock(S& s) { return s.cache_lock_; }
  static bool scan_thread_running(S& s) { return s.scan_thread_.thread.joinable(); }

  // Appends a phone the way the publication step does, for notification tests.
  static void Publish(S& s, const PhoneRecord& record, uint32_t tick) {
    {
      std::lock_guard<std::mutex> lock(s.phone_list_lock_);
      s.phone_list_.push_back(record);
    }
    s.publication_tick_ = tick;
    if (ServiceEvents* events = s.WorkerEvents()) events->Set(ServiceEvents::kNotify);
  }
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_SERVICE_PEER_H
