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
#include <vector>

#include "mobileinfo/mobileinfo.h"
#include "platform/platform.h"
#include "service/records.h"
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

  // --- the parts' operations, on the caller's thread (tests, benchmarks) ---------------------
  int32_t ReadSettings() { return core_->ReadSettings(); }
  int32_t GetOsCode() { return core_->GetOsCode(); }
  int32_t Is64BitOs() { return core_->Is64BitOs(); }
  std::u16string GetHostDirectory() { return core_->GetHostDirectory(); }
  std::u16string HostFilePath(const char16_t* name) { return core_->HostFilePath(name); }
  uint32_t QueryAdbStatus(PhoneRecord& record) { return core_->adb.QueryAdbStatus(record); }
  int ScanUsbDevices() { return core_->tracker.ScanUsbDevices(); }
  void DiffDevices(DeviceMap previous, DeviceMap current) {
    core_->tracker.DiffDevices(std::move(previous), std::move(current));
  }
  int ScanAdbInterfaces(const std::u16string& class_guid) {
    return core_->adb.ScanAdbInterfaces(class_guid);
  }
  int ClassifyArrivals(const DeviceList& taken, DeviceList& output) {
    return core_->ClassifyArrivals(taken, output);
  }
  int IsKnownPhoneSerial(const std::u16string& serial) {
    return core_->store.IsKnownPhoneSerial(serial);
  }
  int IsRejectedModel(const std::u16string& key) { return core_->store.IsRejectedModel(key); }
  void ReportUnidentifiedDevice(const std::u16string& key) { core_->ReportUnidentifiedDevice(key); }
  void IdentifyNewDevices(const DeviceList& candidates, DeviceList& output) {
    core_->IdentifyNewDevices(candidates, output);
  }
  bool IsAdbDevice(const UsbDeviceRecord& device) { return core_->adb.IsAdbDevice(device); }
  bool RequestDriverInfo(const DeviceList& candidates, std::u16string& reply_path,
                         std::vector<DriverLookupEntry>& lookup) {
    return core_->RequestDriverInfo(candidates, reply_path, lookup);
  }
  int LoadPhoneCache() { return core_->store.LoadPhoneCache(); }
  int SavePhoneCache() { return core_->store.SavePhoneCache(); }
  int LoadDeviceSnapshot() { return core_->tracker.LoadDeviceSnapshot(); }
  int SaveDeviceSnapshot() { return core_->tracker.SaveDeviceSnapshot(); }
  // The current run's steps (a run without sink before Init).
  void ProcessChanges(int arrivals);
  int RemoveDevice(const UsbDeviceRecord& record);
  int PublishPhones(const DeviceList& output);
  int PollArrivalReport();

  Platform& platform() { return core_->platform(); }
  const ServiceTimings& timings() const { return core_->timings(); }
  uint32_t last_adb_error() const { return core_->adb.last_adb_error(); }

 private:
  friend struct ServicePeer;  // tests
  std::shared_ptr<Run> CurrentRun();
  std::shared_ptr<Run> RunForHostCall();
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
