// The notification tests' publication: a phone listed and a report begun the way the scan
// thread's publication does, without its code 3, so that the tests see the report's own events;
// and whether a report is pending, for tests that wait until the library is quiet.
#ifndef MOBILEINFO_TESTS_SERVICE_PEER_H
#define MOBILEINFO_TESTS_SERVICE_PEER_H

#include "service/run.h"
#include "service/service.h"

namespace mobileinfo {

struct ServicePeer {
  static void Publish(MobileInfoService& s, const PhoneRecord& record, uint32_t tick) {
    s.core()->phone_list.AppendIfAbsent(record);
    std::shared_ptr<Run> run = s.CurrentRun();
    if (!run) return;
    MutexLock lock(&run->report_lock_);
    run->publication_tick_ = tick;
    run->events_.Set(ServiceEvents::kNotify);
    ++run->report_changes_;
  }
  // Whether an arrival report is pending (published, its code 1 or 4 not yet due).
  static bool ReportPending(MobileInfoService& s) {
    std::shared_ptr<Run> run = s.CurrentRun();
    if (!run) return false;
    MutexLock lock(&run->report_lock_);
    return run->events_.IsSet(ServiceEvents::kNotify);
  }
  static uint32_t publication_tick(MobileInfoService& s) {
    return s.CurrentRun()->publication_tick_.load();
  }
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_SERVICE_PEER_H
