// A run's threads: starting them, and ending the run.
#include "service/run.h"

#include <chrono>

#include "support/debug_log.h"

namespace mobileinfo {

Run::Run(std::shared_ptr<ServiceCore> core, IPelmoInfoSink* sink)
    : core_(std::move(core)), gate_(sink, core_->platform) {}

bool Run::StartWorker(Worker Run::*worker, void (Run::*body)()) {
  std::shared_ptr<Run> self = shared_from_this();
  // Through the platform: on Windows the thread keeps the library loaded until it ends, so a host
  // may unload the library while an abandoned worker finishes.
  return core_->platform.RunDetached([self, worker, body] {
    {
      MutexLock lock(&self->workers_lock_);
      (self.get()->*worker).id = std::this_thread::get_id();
    }
    try {
      (self.get()->*body)();
    } catch (...) {
    }
    MutexLock lock(&self->workers_lock_);
    (self.get()->*worker).done = true;
    self->workers_changed_.SignalAll();
  });
}

int32_t Run::Start() {
  MutexLock lock(&workers_lock_);
  if (ended_) return 0;
  // A Start after one that could start only the first thread starts the one still missing.
  for (auto pair : {std::make_pair(&Run::notification_, &Run::RunNotificationLoop),
                    std::make_pair(&Run::scan_, &Run::ScanThreadMain)}) {
    Worker& worker = this->*pair.first;
    if (worker.started) continue;
    if (!StartWorker(pair.first, pair.second)) return 0;
    worker.started = true;
  }
  events_.Set(ServiceEvents::kRescan);
  return 1;
}

bool Run::Running() {
  MutexLock lock(&workers_lock_);
  return !ended_ && (scan_.started || notification_.started);
}

void Run::End(uint32_t wait_ms) {
  {
    MutexLock lock(&workers_lock_);
    ended_ = true;
  }
  events_.Set(ServiceEvents::kStop);
  Platform& platform = core_->platform;
  const uint32_t sink_wait_ms = core_->timings.sink_wait_ms;
  if (!gate_.Close(sink_wait_ms)) {
    MOBILEINFO_LOG(platform,
                   u"run ended while a sink call is still running after %u ms: the host's sink "
                   u"is blocked; nothing of this run reaches it or the files any more",
                   sink_wait_ms);
  }
  // The gate is closed: no worker makes anything known any more, so the map saved here is what
  // the host was told. A cycle cut short leaves the rest to the next session's first scan.
  if (snapshot_unsaved_.exchange(false)) {
    MOBILEINFO_LOG(platform, u"device snapshot saved for a cycle cut short by the run's end");
    core_->tracker.SaveDeviceSnapshot();
  }
  // A cycle saves its phones after the host heard of them; one that the end cut short, or whose
  // host call outlived the wait above, is saved here, as the cycle itself no longer may.
  if (cache_unsaved_.exchange(false)) core_->store.SavePhoneCache();
  const auto deadline_for = [wait_ms] {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  };
  const std::thread::id self = std::this_thread::get_id();
  MutexLock lock(&workers_lock_);
  for (Worker* worker : {&scan_, &notification_}) {
    if (!worker->started || worker->id == self) continue;
    workers_changed_.WaitUntil(workers_lock_, deadline_for(),
                               [&]() REQUIRES(workers_lock_) { return worker->done; });
  }
}

}  // namespace mobileinfo
