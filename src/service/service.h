// The service object behind the 15-slot interface: the host's handle on a shared core (the parts
// that own the library's state, service/service_core.h) and on the current run (the threads,
// events and sink gate of one Init-to-Stop session, service/run.h). The object itself holds no
// state a worker thread uses, so destroying it never waits for a worker.
#ifndef MOBILEINFO_SERVICE_SERVICE_H
#define MOBILEINFO_SERVICE_SERVICE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "mobileinfo/mobileinfo.h"
#include "platform/platform.h"
#include "service/service_core.h"

namespace mobileinfo {

class Run;

class MobileInfoService final : public IPelmoInfo {
 public:
  explicit MobileInfoService(Platform& platform, ServiceTimings timings = ServiceTimings(),
                             std::u16string service_base = DefaultServiceBase());
  ~MobileInfoService();
  MobileInfoService(const MobileInfoService&) = delete;
  MobileInfoService& operator=(const MobileInfoService&) = delete;

  // --- the host's slots (0-12) -------------------------------------------------------------
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
  virtual void* DeletingDestructor(uint32_t flags);
  // Slot 14: ends the run, empties the containers, then destroys through slot 13 with flags 1.
  virtual void ClearAndDestroy();

  // The shared parts and the current run (from a successful Init to Stop), for tests that
  // look at what the slots did.
  const std::shared_ptr<ServiceCore>& core() const { return core_; }
  std::shared_ptr<Run> CurrentRun();

 private:
  // Takes the current run away and ends it without waiting for its threads.
  void AbandonRun();

  const std::shared_ptr<ServiceCore> core_;
  // Guards run_ and serialises Init and Start among host threads; Init's loads take the parts'
  // locks inside it, and no part ever takes it. Never held while a run ends: ending waits for
  // sink calls, and a sink may call OnDeviceChange, Stop or a destruction, which take it.
  std::mutex lifecycle_lock_;
  std::shared_ptr<Run> run_;  // from a successful Init to Stop or destruction
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_SERVICE_H
