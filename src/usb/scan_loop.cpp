// The scan thread: waits for rescans, runs the USB scan, and turns arrivals into published phones
// and removals into the host's departure events.
#include "service/phone_record.h"
#include "service/service.h"

namespace mobileinfo {

namespace {

// The sink is the host's object: only its slot layout is promised, not C++ type information (a C
// host's table has none), so UBSan's vptr check does not apply to this call.
#if defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
void CallSink(IPelmoInfoSink* sink, int32_t code, PhoneRecord* record) {
  if (sink == nullptr) return;
  try {
    sink->OnEvent(code, record);
  } catch (...) {
  }
}

bool SamePhone(const PhoneRecord& a, const PhoneRecord& b) {
  return EqualsIgnoreCase(FieldText(a.serial), FieldText(b.serial)) &&
         EqualsIgnoreCase(FieldText(a.device_key), FieldText(b.device_key));
}

}  // namespace

void MobileInfoService::ScanThreadMain(ServiceEvents& events) {
  for (;;) {
    int signalled = events.WaitAny({ServiceEvents::kStop, ServiceEvents::kRescan},
                                   ServiceEvents::kInfinite);
    if (signalled == ServiceEvents::kStop) return;
    if (signalled != ServiceEvents::kRescan) continue;

    ScanUsbDevices();
    if (arrivals_.empty() && removals_.empty()) continue;
    ScanAdbInterfaces(kAdbInterfaceClass);
    // Arrivals first, then removals of the same scan: a scan that saw one phone come and another
    // go must report both, or the departed phone would stay listed for good.
    if (!arrivals_.empty()) ProcessChanges(1);
    if (!removals_.empty()) ProcessChanges(0);
  }
}

void MobileInfoService::ProcessChanges(int arrivals) {
  DeviceList taken;
  taken.swap(arrivals ? arrivals_ : removals_);
  if (arrivals) {
    DeviceList output;
    ClassifyArrivals(taken, output);
    if (!output.empty()) PublishPhones(output);
  } else {
    for (const UsbDeviceRecord& record : taken) RemoveDevice(record);
  }
}

int MobileInfoService::ClassifyArrivals(const DeviceList& taken, DeviceList& output) {
  DeviceList candidates;
  for (const UsbDeviceRecord& record : taken) {
    if (IsKnownPhoneSerial(FieldText(record.serial))) {
      output.push_back(record);
    } else if (!IsRejectedModel(FieldText(record.device_key))) {
      candidates.push_back(record);
    }
  }
  if (!candidates.empty()) IdentifyNewDevices(candidates, output);
  return 1;
}

int MobileInfoService::IsKnownPhoneSerial(const std::u16string& serial) {
  std::lock_guard<std::mutex> lock(cache_lock_);
  for (const auto& entry : phone_info_) {
    if (EqualsIgnoreCase(entry.first, serial)) return 1;
  }
  return 0;
}

int MobileInfoService::IsRejectedModel(const std::u16string& device_key) {
  std::lock_guard<std::mutex> lock(cache_lock_);
  auto it = model_status_.find(device_key);
  return (it != model_status_.end() && !it->second) ? 1 : 0;
}

int MobileInfoService::RemoveDevice(const UsbDeviceRecord& record) {
  const std::u16string serial = FieldText(record.serial);
  PhoneRecord phone = ZeroPhoneRecord();
  bool cached = false;
  {
    std::lock_guard<std::mutex> lock(cache_lock_);
    for (const auto& entry : phone_info_) {
      if (EqualsIgnoreCase(entry.first, serial)) {
        phone = entry.second;
        cached = true;
        break;
      }
    }
  }
  if (!cached) phone = MakePhoneRecord(record);

  {
    std::lock_guard<std::mutex> lock(phone_list_lock_);
    for (auto it = phone_list_.begin(); it != phone_list_.end(); ++it) {
      if (SamePhone(*it, phone)) {
        phone_list_.erase(it);
        break;
      }
    }
  }
  ServiceEvents* events = WorkerEvents();
  if (!(events && events->IsSet(ServiceEvents::kNotify))) CallSink(sink_, kDeviceRemoved, &phone);
  return 1;
}

int MobileInfoService::PublishPhones(const DeviceList& output) {
  for (const UsbDeviceRecord& record : output) {
    const std::u16string serial = FieldText(record.serial);
    PhoneRecord phone;
    {
      std::lock_guard<std::mutex> lock(cache_lock_);
      auto it = phone_info_.find(serial);
      if (it != phone_info_.end()) {
        CopyField(it->second.device_key, record.device_key, 32);
        phone = it->second;
      } else {
        phone = MakePhoneRecord(record);
      }
    }
    std::lock_guard<std::mutex> lock(phone_list_lock_);
    bool listed = false;
    for (const PhoneRecord& listed_phone : phone_list_) {
      if (SamePhone(listed_phone, phone)) {
        listed = true;
        break;
      }
    }
    if (!listed) phone_list_.push_back(phone);
  }

  ServiceEvents* events = WorkerEvents();
  if (events && !events->IsSet(ServiceEvents::kNotify)) {
    if (!output.empty()) CallSink(sink_, kArrivalReportBegins, nullptr);
    publication_tick_ = platform_.TickCount();
    events->Set(ServiceEvents::kNotify);
  }
  SavePhoneCache();
  return 1;
}

}  // namespace mobileinfo
