// The service's three events, with the semantics of their Win32 counterparts: the stop and notify
// events are manual-reset, the rescan event auto-reset (a wait that takes it clears it). All three
// share one mutex and condition variable so that a thread can wait for "either of two" in order,
// as WaitForMultipleObjects does. The set lives from Init to Stop in the service; a worker thread
// holds its own reference, so a thread that outlives Stop never touches a destroyed event.
#ifndef MOBILEINFO_SERVICE_EVENTS_H
#define MOBILEINFO_SERVICE_EVENTS_H

#include <chrono>
#include <cstdint>
#include <initializer_list>

#include "support/mutex.h"

namespace mobileinfo {

class ServiceEvents {
 public:
  enum Id { kStop = 0, kRescan = 1, kNotify = 2, kCount = 3 };
  static constexpr int kTimeout = -1;
  static constexpr uint32_t kInfinite = 0xFFFFFFFF;

  void Set(Id id) {
    MutexLock lock(&mutex_);
    signalled_[id] = true;
    changed_.SignalAll();
  }
  void Reset(Id id) {
    MutexLock lock(&mutex_);
    signalled_[id] = false;
  }
  // A zero-time-out wait that consumes nothing: for the manual-reset events.
  bool IsSet(Id id) {
    MutexLock lock(&mutex_);
    return signalled_[id];
  }
  // Waits until one of the events is signalled; returns the first signalled one in list order
  // (consuming it if it is auto-reset), or kTimeout.
  int WaitAny(std::initializer_list<Id> ids, uint32_t timeout_ms) {
    MutexLock lock(&mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      for (Id id : ids) {
        if (signalled_[id]) {
          if (id == kRescan) signalled_[id] = false;
          return id;
        }
      }
      if (timeout_ms == kInfinite) {
        changed_.Wait(mutex_);
      } else if (!changed_.WaitUntil(mutex_, deadline)) {
        for (Id id : ids) {
          if (signalled_[id]) {
            if (id == kRescan) signalled_[id] = false;
            return id;
          }
        }
        return kTimeout;
      }
    }
  }

  // Names the events' lock in the lock order of the locks held while an event is set or read;
  // for annotations only (never defined). The lock itself is a leaf: nothing else is taken,
  // and nothing called, while it is held.
  Mutex& mutex() RETURN_CAPABILITY(mutex_);

 private:
  Mutex mutex_;
  CondVar changed_;
  bool signalled_[kCount] GUARDED_BY(mutex_) = {false, false, false};
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_EVENTS_H
