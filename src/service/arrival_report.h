// The arrival report: it begins when a publication finds none pending (the host hears code 3) and
// ends at the poll that names its phone (code 1) or finds the list empty after the grace period
// (code 4). Publications and removals made while one is pending join it: they raise no code 3 or
// 2 of their own and do not move its start. The notify event is its "pending" state; the count of
// joins lets a poll end it only with what it saw.
//
// Only the scan thread begins and joins, only the notification thread ends.
#ifndef MOBILEINFO_SERVICE_ARRIVAL_REPORT_H
#define MOBILEINFO_SERVICE_ARRIVAL_REPORT_H

#include <cstdint>

#include "service/events.h"
#include "support/mutex.h"

namespace mobileinfo {

class ArrivalReport {
 public:
  explicit ArrivalReport(ServiceEvents& events) : events_(events) {}
  ArrivalReport(const ArrivalReport&) = delete;
  ArrivalReport& operator=(const ArrivalReport&) = delete;

  // A publication or a removal: true when a report is pending and the change joins it; false
  // when none is (a removal is then told to the host, a publication begins one).
  bool Join();
  // A publication that found none pending begins one, once the host has heard code 3: nothing
  // can end it before, so code 3 always comes first.
  void Begin(uint32_t tick);

  // What a poll decides on: the report's start, and the joins it has seen.
  struct Look {
    uint32_t begun_tick = 0;
    uint64_t joins = 0;
  };
  Look LookAtIt();
  // Ends the report a poll decided to end, before the host hears of it, so that a publication or
  // removal made while the host is inside that call starts or is told apart from the next one.
  // False, leaving it pending, when something joined since the poll looked: the poll looks again.
  bool End(const Look& seen);
  bool Pending() { return events_.IsSet(ServiceEvents::kNotify); }

 private:
  ServiceEvents& events_;
  // Guards joins_, begun_tick_ and every change of the notify event; before the events' lock,
  // which setting and reading the event take inside it.
  Mutex lock_ ACQUIRED_BEFORE(events_.mutex());
  uint64_t joins_ GUARDED_BY(lock_) = 0;
  uint32_t begun_tick_ GUARDED_BY(lock_) = 0;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_ARRIVAL_REPORT_H
