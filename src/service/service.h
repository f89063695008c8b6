// The service object behind the 15-slot interface: the host's handle on a shared core (the parts
// that own the library's state, service/service_core.h) and on the current run (the threads,
// events and sink gate of one Init-to-Stop session, service/run.h). The object itself holds no
// state a worker thread uses, so destroying it never waits for a worker.
#ifndef MOBILEINFO_SERVICE_SERVICE_H
#define MOBILEINFO_SERVICE_SERVICE_H

#include <cstdint>
#include <memory>
#include <string>

#include "mobileinfo/mobileinfo.h"
#include "platform/platform.h"
#include "service/run.h"
#include "service/service_core.h"
#include "support/mutex.h"

namespace mobileinfo {

class MobileInfoService final : public IPelmoInfo {
 public:
  explicit MobileInfoService(Platform& platform, ServiceTimings timings = ServiceTimings(),
                             std::u16string service_base = DefaultServiceBase());
  ~MobileInfoService();
  MobileInfoService(const MobileInfoService&) = delete;
  MobileInfoService& operator=(const MobileInfoService&) = delete;

  // --- the host's slots (0-14) -------------------------------------------------------------
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
  void* DeletingDestructor(uint32_t flags) override;
  // Slot 14: ends the run, empties the containers, then destroys through slot 13 with flags 1.
  void ClearAndDestroy() override;

  // MobileInfoListPhones: copies of the listed phones, at most capacity into records, and their
  // count; 0 for a pointer that is no live service object of this library.
  static int32_t ListPhones(const void* service, PhoneRecord* records, int32_t capacity);

  // The shared parts and the current run (from a successful Init to Stop), for tests that
  // look at what the slots did.
  const std::shared_ptr<ServiceCore>& CoreForTesting() const { return core_; }
  std::shared_ptr<Run> RunForTesting() { return CurrentRun(); }

 private:
  std::shared_ptr<Run> CurrentRun();
  // Takes the current run away and ends it without waiting for its threads.
  void AbandonRun();

  const std::shared_ptr<ServiceCore> core_;
  // Serialises Init and Start among host threads. Never held while a run ends: ending waits for
  // sink calls, and a sink may call OnDeviceChange, Stop or a destruction, which take it.
  // Before the parts' locks, which Init's loads and clears take inside it (no part ever takes
  // it), and before the run's workers' lock, which Init (is the run going?) and Start take.
  Mutex lifecycle_lock_ ACQUIRED_BEFORE(core_->tracker.present_devices_lock(),
                                        core_->store.cache_lock(), run_->workers_lock());
  // From a successful Init to Stop or destruction.
  std::shared_ptr<Run> run_ GUARDED_BY(lifecycle_lock_);
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_SERVICE_H
