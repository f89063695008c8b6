// Construction, the lifecycle slots (Init, Start, Stop, destruction) and the small slots.
#include "service/service.h"

#include <cstdlib>
#include <new>

#include "support/wide_string.h"

namespace mobileinfo {

namespace {
constexpr uint32_t kDevNodesChanged = 7;          // DBT_DEVNODES_CHANGED
constexpr uint32_t kDeviceArrival = 0x8000;       // DBT_DEVICEARRIVAL
constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
}  // namespace

std::u16string DefaultServiceBase() {
#ifdef MOBILEINFO_SERVICE_URL
  return MOBILEINFO_SERVICE_URL;
#else
  return u"http://127.0.0.1:8780";
#endif
}

MobileInfoService::MobileInfoService(Platform& platform, ServiceTimings timings,
                                     std::u16string service_base)
    : platform_(platform), timings_(timings), service_base_(std::move(service_base)) {}

MobileInfoService::~MobileInfoService() {
  // A host that destroys the object without Stop, or after a Stop that gave up waiting: the
  // threads use this object, so they must have ended before its members go.
  JoinWorkers();
}

void MobileInfoService::JoinWorkers() {
  for (WorkerThread* worker : {&scan_thread_, &notification_thread_}) {
    if (!worker->thread.joinable()) continue;
    if (worker->events) worker->events->Set(ServiceEvents::kStop);
    worker->thread.join();
  }
}

ServiceEvents* MobileInfoService::WorkerEvents() {
  return worker_events_ ? worker_events_.get() : events_.get();
}

void MobileInfoService::ClearContainers() {
  {
    std::lock_guard<std::mutex> lock(cache_lock_);
    phone_info_.clear();
    model_status_.clear();
    exclusion_set_.clear();
  }
  present_devices_.clear();
  arrivals_.clear();
  removals_.clear();
}

void MobileInfoService::Release() { DeletingDestructor(1); }

void* MobileInfoService::DeletingDestructor(uint32_t flags) {
  this->~MobileInfoService();
  if (flags & 1) ::operator delete(this);
  return this;
}

void MobileInfoService::ClearAndDestroy() {
  try {
    ClearContainers();
  } catch (...) {
  }
  DeletingDestructor(1);
}

int32_t MobileInfoService::Init(IPelmoInfoSink* sink, int32_t fresh_start) try {
  present_devices_.clear();
  if (!fresh_start) LoadDeviceSnapshot();
  {
    std::lock_guard<std::mutex> lock(cache_lock_);
    phone_info_.clear();
    model_status_.clear();
    exclusion_set_.clear();
  }
  arrivals_.clear();
  removals_.clear();
  ReadSettings();
  LoadPhoneCache();

  if (sink == nullptr || !platform_.IsReadable(sink, 4)) return 0;
  sink_ = sink;
  os_code_ = GetOsCode();
  bitness_code_ = Is64BitOs() ? 2 : 1;

  events_ = std::make_shared<ServiceEvents>();
  // Threads of an earlier Start keep the events they were started with.
  if (!scan_thread_.thread.joinable() && !notification_thread_.thread.joinable()) {
    worker_events_ = events_;
  }
  return 1;
} catch (...) {
  return 0;
}

bool MobileInfoService::StartWorker(WorkerThread& worker,
                                    void (MobileInfoService::*body)(ServiceEvents&)) {
  worker.events = worker_events_;
  worker.done = std::make_shared<bool>(false);
  auto events = worker.events;
  auto done = worker.done;
  auto done_mutex = worker.done_mutex;
  auto done_cv = worker.done_cv;
  try {
    worker.thread = std::thread([this, body, events, done, done_mutex, done_cv] {
      try {
        (this->*body)(*events);
      } catch (...) {
      }
      std::lock_guard<std::mutex> lock(*done_mutex);
      *done = true;
      done_cv->notify_all();
    });
  } catch (...) {
    return false;
  }
  return true;
}

bool MobileInfoService::WaitWorker(WorkerThread& worker, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(*worker.done_mutex);
  return worker.done_cv->wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&] { return *worker.done; });
}

int32_t MobileInfoService::Start() try {
  // Without Init's events the threads would have nothing to wait on.
  if (!events_) return 0;
  if (scan_thread_.thread.joinable() || notification_thread_.thread.joinable()) {
    if (worker_events_ == events_) {  // already running on these events
      events_->Set(ServiceEvents::kRescan);
      return 1;
    }
    JoinWorkers();  // threads a Stop gave up on, now ending
  }
  worker_events_ = events_;
  if (!StartWorker(notification_thread_, &MobileInfoService::RunNotificationLoop)) return 0;
  if (!StartWorker(scan_thread_, &MobileInfoService::ScanThreadMain)) return 0;
  events_->Set(ServiceEvents::kRescan);
  return 1;
} catch (...) {
  return 0;
}

int32_t MobileInfoService::Stop() try {
  SavePhoneCache();
  if (events_) {
    events_->Set(ServiceEvents::kStop);
    for (WorkerThread* worker : {&scan_thread_, &notification_thread_}) {
      if (!worker->thread.joinable()) continue;
      // A thread still busy after the wait (a download near its limit) is joined by the next
      // Start or by destruction; it holds its own reference to the events meanwhile.
      if (WaitWorker(*worker, timings_.stop_wait_ms)) worker->thread.join();
    }
    events_.reset();
  }
  return 1;
} catch (...) {
  return 1;
}

void MobileInfoService::OnDeviceChange(uint32_t event_type, int32_t) {
  if (event_type != kDevNodesChanged && event_type != kDeviceArrival &&
      event_type != kDeviceRemoveComplete) {
    return;
  }
  if (auto events = events_) events->Set(ServiceEvents::kRescan);
}

int32_t* MobileInfoService::Reserved5(int32_t* slot, int32_t) {
  if (slot) *slot = 0;
  return slot;
}

void MobileInfoService::FreeBuffer(void* buffer) { std::free(buffer); }
int32_t MobileInfoService::Reserved7(int32_t) { return 1; }
int32_t MobileInfoService::Reserved8(int32_t) { return 0; }
int32_t MobileInfoService::Reserved9(int32_t, int32_t, int32_t) { return 0; }

void MobileInfoService::ExcludeFromCache(MobileInfoWideString serial) {
  try {
    WideString text = WideString::Adopt(serial.text);  // released when it goes out of scope
    std::u16string key = text.ToU16();
    std::lock_guard<std::mutex> lock(cache_lock_);
    exclusion_set_.insert(std::move(key));
  } catch (...) {
  }
}

}  // namespace mobileinfo
