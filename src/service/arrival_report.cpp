#include "service/arrival_report.h"

namespace mobileinfo {

bool ArrivalReport::Join() {
  MutexLock lock(&lock_);
  if (!events_.IsSet(ServiceEvents::kNotify)) return false;
  ++joins_;
  return true;
}

void ArrivalReport::Begin(uint32_t tick) {
  MutexLock lock(&lock_);
  begun_tick_ = tick;
  ++joins_;
  events_.Set(ServiceEvents::kNotify);
}

ArrivalReport::Look ArrivalReport::LookAtIt() {
  MutexLock lock(&lock_);
  return Look{begun_tick_, joins_};
}

bool ArrivalReport::End(const Look& seen) {
  MutexLock lock(&lock_);
  if (joins_ != seen.joins) return false;
  events_.Reset(ServiceEvents::kNotify);
  return true;
}

}  // namespace mobileinfo
