// The ADB status query and the notification thread, which turns the scan thread's publications
// into the host's arrival reports (codes 1 and 4).
#include <vector>

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
    // A host's exception must not end a worker thread.
  }
}

}  // namespace

uint32_t MobileInfoService::QueryAdbStatus(PhoneRecord& record) {
  ScanAdbInterfaces(kAdbInterfaceClass);
  const std::u16string key = FieldText(record.device_key);
  const std::u16string serial = FieldText(record.serial);

  // A record that matches no interface is told 0, whatever status it arrived with: a stale 2
  // would otherwise claim an ADB interface that does not exist.
  uint32_t status = 0;
  {
    std::lock_guard<std::mutex> lock(adb_lock_);
    for (const auto& entry : adb_devices_) {
      const AdbRecord& adb = entry.second;
      if (EqualsIgnoreCase(FieldText(adb.device_key), key)) {
        status = 1;
        if (adb.state == kAdbActive) {
          status = 2;
          break;
        }
      } else if (adb.state == kAdbActive && EqualsIgnoreCase(FieldText(adb.adb_serial), serial)) {
        status = 2;
        break;
      }
    }
  }
  record.adb_status = status;
  return status;
}

int32_t MobileInfoService::QueryPhoneStatus(PhoneRecord* record) {
  try {
    if (record == nullptr || !platform_.IsReadable(record, sizeof(PhoneRecord))) return 0;
    return static_cast<int32_t>(QueryAdbStatus(*record));
  } catch (...) {
    return 0;
  }
}

void MobileInfoService::RunNotificationLoop(ServiceEvents& events) {
  for (;;) {
    int signalled = events.WaitAny({ServiceEvents::kStop, ServiceEvents::kNotify},
                                   ServiceEvents::kInfinite);
    if (signalled == ServiceEvents::kStop) return;
    if (signalled != ServiceEvents::kNotify) continue;
    for (;;) {
      if (events.WaitAny({ServiceEvents::kStop}, timings_.poll_ms) == ServiceEvents::kStop) break;
      if (PollArrivalReport()) {
        events.Reset(ServiceEvents::kNotify);
        break;
      }
    }
  }
}

int MobileInfoService::PollArrivalReport() {
  const uint32_t elapsed = platform_.TickCount() - publication_tick_.load();
  const bool expired = elapsed >= timings_.grace_ms;

  std::vector<PhoneRecord> copies;
  {
    std::lock_guard<std::mutex> lock(phone_list_lock_);
    copies = phone_list_;
  }
  // Each copy is the host's to read during the call; nothing it does reaches the phone list.
  for (PhoneRecord& copy : copies) {
    if (QueryAdbStatus(copy) == 2) {
      CallSink(sink_, kPhoneReady, &copy);
      return 1;
    }
  }
  if (!expired) return 0;
  if (copies.empty()) {
    CallSink(sink_, kNoPhoneLeft, nullptr);
  } else {
    CallSink(sink_, kPhoneReady, &copies.front());
  }
  return 1;
}

}  // namespace mobileinfo
