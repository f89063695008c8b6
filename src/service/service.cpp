// Construction, the lifecycle slots (Init, Start, Stop, destruction) and the small slots.
//
// Calls outside the host's order (Init, Start, ..., Stop, Release): Init while running is refused
// (0) and changes nothing; Start on a running service only rescans; Start after Stop needs a new
// Init, since the host may have freed the sink Stop released; Stop, Release and ClearAndDestroy
// end the run from any thread, the sink's included, and never wait for a worker past Stop's
// bounded wait.
#include "service/service.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <vector>

#include "model/phone_record.h"

#include "service/run.h"
#include "service/settings.h"
#include "support/debug_log.h"
#include "support/text.h"
#include "support/wide_string.h"

namespace mobileinfo {

namespace {
constexpr uint32_t kDevNodesChanged = 7;          // DBT_DEVNODES_CHANGED
constexpr uint32_t kDeviceArrival = 0x8000;       // DBT_DEVICEARRIVAL
constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE

// The service objects alive in the process, by the address the host holds, so that an export
// handed a pointer tells one of them from anything else without reading through it. The one
// state of the library outside its service objects: a plain C function has nothing else to find
// them by.
struct LiveServices {
  Mutex lock;  // a leaf
  std::map<const void*, std::shared_ptr<ServiceCore>> cores GUARDED_BY(lock);
};
LiveServices& Live() {
  // Never destroyed: a host may destroy its object after the library's statics are gone.
  static LiveServices* const live = new LiveServices;
  return *live;
}
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
    : core_(std::make_shared<ServiceCore>(platform, timings, std::move(service_base))) {
  LiveServices& live = Live();
  MutexLock lock(&live.lock);
  live.cores[static_cast<IPelmoInfo*>(this)] = core_;
}

MobileInfoService::~MobileInfoService() {
  MOBILEINFO_LOG(core_->platform, u"service object destroyed");
  {
    LiveServices& live = Live();
    MutexLock lock(&live.lock);
    live.cores.erase(static_cast<IPelmoInfo*>(this));
  }
  // A host that destroys the object without Stop: the threads end at their next wait. A thread
  // still busy holds the run and the core, not this object, so nothing here waits for it.
  try {
    AbandonRun();
  } catch (...) {
  }
}

int32_t MobileInfoService::ListPhones(const void* service, PhoneRecord* records,
                                      int32_t capacity) {
  std::shared_ptr<ServiceCore> core;
  {
    LiveServices& live = Live();
    MutexLock lock(&live.lock);
    auto it = live.cores.find(service);
    if (it == live.cores.end()) return 0;
    core = it->second;
  }
  const std::vector<PhoneRecord> phones = core->phone_list.Copy();
  const int32_t count = static_cast<int32_t>(phones.size());
  for (int32_t i = 0; records != nullptr && i < count && i < capacity; ++i) {
    records[i] = phones[i];
    TerminateTextFields(records[i]);
  }
  return count;
}

std::shared_ptr<Run> MobileInfoService::CurrentRun() {
  MutexLock lock(&lifecycle_lock_);
  return run_;
}

void MobileInfoService::AbandonRun() {
  std::shared_ptr<Run> run;
  {
    MutexLock lock(&lifecycle_lock_);
    run.swap(run_);
  }
  if (run) run->End(0);
}

void MobileInfoService::Release() { DeletingDestructor(1); }

void* MobileInfoService::DeletingDestructor(uint32_t flags) {
  this->~MobileInfoService();
  if (flags & 1) ::operator delete(this);
  return this;
}

void MobileInfoService::ClearAndDestroy() {
  try {
    MOBILEINFO_LOG(core_->platform, u"ClearAndDestroy: the lists are emptied");
    // The run ends first, so that no worker commits into the containers being emptied.
    AbandonRun();
    core_->store.Clear();
    core_->tracker.ClearPresentDevices();
  } catch (...) {
  }
  DeletingDestructor(1);
}

int32_t MobileInfoService::Init(IPelmoInfoSink* sink, int32_t fresh_start) try {
  std::shared_ptr<Run> replaced;
  Platform& platform = core_->platform;
  // Read here, so that a host can switch diagnostics on or off before each session.
  platform.debug_log().Configure(platform.EnvironmentVariable(u"MOBILEINFO_DEBUG"));
  {
    MutexLock lock(&lifecycle_lock_);
    // The running threads would go on with the old sink and settings: the host stops first.
    if (run_ && run_->Running()) {
      MOBILEINFO_LOG(platform, u"Init(freshStart %d): 0, the service is running", fresh_start);
      return 0;
    }
    ServiceCore& core = *core_;
    core.data_directory.Choose();
    // freshStart 0 only adds the snapshot to what is known; a snapshot that cannot be read
    // then leaves the devices of the previous session known.
    if (fresh_start) {
      core.tracker.ClearPresentDevices();
    } else {
      core.tracker.LoadDeviceSnapshot();
    }
    core.store.Clear();
    ReadSettings(platform, core.store, &core.data_directory);
    core.store.LoadPhoneCache();

    if (sink == nullptr || !platform.IsReadable(sink, 4)) {
      MOBILEINFO_LOG(platform, u"Init(freshStart %d): 0, no readable sink", fresh_start);
      return 0;
    }
    core.identifier.SetSystem(GetOsCode(platform), Is64BitOs(platform) ? 2 : 1);
    MOBILEINFO_LOG(platform, u"Init(freshStart %d): 1, os code %d, bitness code %d", fresh_start,
                   core.identifier.os_code(), core.identifier.bitness_code());
    replaced = std::move(run_);
    run_ = std::make_shared<Run>(core_, sink);
  }
  if (replaced) replaced->End(0);  // an earlier Init's run that never started
  return 1;
} catch (...) {
  return 0;
}

int32_t MobileInfoService::Start() try {
  MutexLock lock(&lifecycle_lock_);
  // Without Init's run there is neither a sink nor events to wait on.
  if (!run_) {
    MOBILEINFO_LOG(core_->platform, u"Start: 0, no Init since the last Stop");
    return 0;
  }
  const int32_t started = run_->Start();
  MOBILEINFO_LOG(core_->platform, started ? u"Start: 1" : u"Start: 0, no thread could start");
  return started;
} catch (...) {
  return 0;
}

int32_t MobileInfoService::Stop() try {
  // Nothing below touches this object once the run is taken: a window procedure that the wait
  // for a sink call lets run may destroy the object meanwhile.
  const std::shared_ptr<ServiceCore> core = core_;
  MOBILEINFO_LOG(core->platform, u"Stop");
  core->store.SavePhoneCache();
  std::shared_ptr<Run> run;
  {
    MutexLock lock(&lifecycle_lock_);
    run.swap(run_);
  }
  // Outside the lifecycle lock: ending waits for sink calls in progress, and a sink may call
  // OnDeviceChange or Stop itself.
  if (run) run->End(core->timings.stop_wait_ms);
  MOBILEINFO_LOG(core->platform, u"Stop: 1, the run has ended");
  return 1;
} catch (...) {
  return 1;
}

void MobileInfoService::OnDeviceChange(uint32_t event_type, int32_t) {
  if (event_type != kDevNodesChanged && event_type != kDeviceArrival &&
      event_type != kDeviceRemoveComplete) {
    MOBILEINFO_LOG(core_->platform, u"OnDeviceChange(0x%x): ignored", event_type);
    return;
  }
  // The ADB state is shared by every session and asked without a run too (QueryPhoneStatus).
  core_->adb.NoteDeviceChange();
  try {
    std::shared_ptr<Run> run = CurrentRun();
    MOBILEINFO_LOG(core_->platform, run ? u"OnDeviceChange(0x%x): rescan"
                                          : u"OnDeviceChange(0x%x): ignored, no run",
                   event_type);
    if (run) run->Rescan();
  } catch (...) {
  }
}

int32_t* MobileInfoService::Reserved5(int32_t* slot, int32_t) {
  if (slot) *slot = 0;
  return slot;
}

void MobileInfoService::FreeBuffer(void* buffer) { std::free(buffer); }
int32_t MobileInfoService::Reserved7(int32_t) { return 1; }
int32_t MobileInfoService::Reserved8(int32_t) { return 0; }
int32_t MobileInfoService::Reserved9(int32_t, int32_t, int32_t) { return 0; }

int32_t MobileInfoService::RefreshDriverInfo(PhoneRecord* record) {
  return core_->identifier.RefreshDriverInfo(record);
}

void MobileInfoService::ExcludeFromCache(MobileInfoWideString serial) {
  try {
    const std::u16string text = WideString::HostText(serial.text);
    MOBILEINFO_LOG(core_->platform, u"ExcludeFromCache: %s", text.c_str());
    // The file must not keep the serial until some later save, nor for good if the host then
    // crashes.
    if (core_->store.Exclude(text)) core_->store.SavePhoneCache();
  } catch (...) {
  }
  // The host's reference is given up; the block is freed only into the heap it came from, and a
  // block of a heap this library cannot tell stays where it is, for its owner.
  if (void* block = WideString::ReleaseHostReference(serial.text)) {
    if (!core_->platform.FreeHostBlock(block)) {
      MOBILEINFO_LOG(core_->platform, u"ExcludeFromCache: the string's block is of a heap not "
                                      u"this library's; left to the host");
    }
  }
}

int32_t MobileInfoService::QueryPhoneStatus(PhoneRecord* record) {
  try {
    if (record == nullptr || !core_->platform.IsReadable(record, sizeof(PhoneRecord))) return 0;
    return static_cast<int32_t>(core_->adb.QueryAdbStatus(*record));
  } catch (...) {
    return 0;
  }
}

}  // namespace mobileinfo
