// A service object that records OnDeviceChange, for the device-change forwarder's tests; every
// other slot is unused by a watcher.
#ifndef MOBILEINFO_TESTS_RECORDING_SERVICE_H
#define MOBILEINFO_TESTS_RECORDING_SERVICE_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "mobileinfo/mobileinfo.h"

namespace mobileinfo {

class RecordingService : public IPelmoInfo {
 public:
  void Release() override {}
  int32_t Init(IPelmoInfoSink*, int32_t) override { return 1; }
  int32_t Start() override { return 1; }
  int32_t Stop() override { return 1; }
  void OnDeviceChange(uint32_t event_type, int32_t event_data) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.emplace_back(event_type, event_data);
  }
  int32_t* Reserved5(int32_t* slot, int32_t) override { return slot; }
  void FreeBuffer(void*) override {}
  int32_t Reserved7(int32_t) override { return 1; }
  int32_t Reserved8(int32_t) override { return 0; }
  int32_t Reserved9(int32_t, int32_t, int32_t) override { return 0; }
  int32_t RefreshDriverInfo(PhoneRecord*) override { return 0; }
  void ExcludeFromCache(MobileInfoWideString) override {}
  int32_t QueryPhoneStatus(PhoneRecord*) override { return 0; }
  void* DeletingDestructor(uint32_t) override { return this; }
  void ClearAndDestroy() override {}

  std::vector<std::pair<uint32_t, int32_t>> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  size_t CountOf(uint32_t event_type) {
    size_t count = 0;
    for (const auto& call : Calls()) count += call.first == event_type ? 1 : 0;
    return count;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<uint32_t, int32_t>> calls_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_RECORDING_SERVICE_H
