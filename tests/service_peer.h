// Test access to the service object's state. Tests use it to set up maps and lists the way the
// worker threads would and to read back what an operation did.
#ifndef MOBILEINFO_TESTS_SERVICE_PEER_H
#define MOBILEINFO_TESTS_SERVICE_PEER_H

#include "service/run.h"
#include "service/service.h"

namespace mobileinfo {

struct ServicePeer {
  using S = MobileInfoService;
  static ServiceCore& core(S& s) { return *s.core_; }
  static IPelmoInfoSink* sink(S& s) { return s.run_ ? s.run_->sink() : nullptr; }
  static ModelStatusMap& model_status(S& s) { return core(s).store.model_status_; }
  static PhoneInfoMap& phone_info(S& s) { return core(s).store.phone_info_; }
  static std::vector<PhoneRecord>& phone_list(S& s) { return core(s).phone_list.phones_; }
  static std::mutex& phone_list_lock(S& s) { return core(s).phone_list.lock_; }
  static AdbMap& adb_devices(S& s) { return core(s).adb.adb_devices_; }
  static DeviceMap& present_devices(S& s) { return core(s).tracker.present_devices_; }
  static std::set<std::u16string>& exclusion_set(S& s) { return core(s).store.exclusion_set_; }
  static DeviceList& arrivals(S& s) { return core(s).tracker.arrivals_; }
  static DeviceList& removals(S& s) { return core(s).tracker.removals_; }
  // The current run's events: from a successful Init to Stop.
  static ServiceEvents* events(S& s) {
    std::shared_ptr<Run> run = s.CurrentRun();
    return run ? &run->events_ : nullptr;
  }
  static ServiceEvents* worker_events(S& s) { return events(s); }
  static std::atomic<int32_t>& os_code(S& s) { return core(s).os_code_; }
  static std::atomic<int32_t>& bitness_code(S& s) { return core(s).bitness_code_; }
  static int32_t& cache_timeout_days(S& s) { return core(s).store.cache_timeout_days_; }
  static std::atomic<uint32_t>& publication_tick(S& s) { return s.CurrentRun()->publication_tick_; }
  static int32_t& negative_cache_stamp(S& s) { return core(s).store.negative_cache_stamp_; }
  static std::mutex& cache_lock(S& s) { return core(s).store.cache_lock_; }
  static bool scan_thread_running(S& s) {
    std::shared_ptr<Run> run = s.CurrentRun();
    return run && run->Running();
  }

  // Appends a phone the way the publication step does, for notification tests.
  static void Publish(S& s, const PhoneRecord& record, uint32_t tick) {
    {
      std::lock_guard<std::mutex> lock(core(s).phone_list.lock_);
      core(s).phone_list.phones_.push_back(record);
    }
    std::shared_ptr<Run> run = s.CurrentRun();
    if (!run) return;
    std::lock_guard<std::mutex> lock(run->report_lock_);
    run->publication_tick_ = tick;
    run->events_.Set(ServiceEvents::kNotify);
    ++run->report_changes_;
  }
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_SERVICE_PEER_H
