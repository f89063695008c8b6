// The ADB scan: one ADB record per interface of the Android USB driver's interface class.
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "support/debug_log.h"
#include "support/text.h"
#include "usb/adb_registry.h"
#include "usb/interface_path.h"

namespace mobileinfo {

namespace {

AdbRecord ZeroAdbRecord() {
  AdbRecord record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

}  // namespace

bool AdbRegistry::ScanAdbInterfaces() {
  // Taken before the list is opened: a change noted while it is made may not be in it.
  const uint64_t changes = changes_.load();
  const uint32_t tick = platform_.TickCount();
  // The list includes the registered interfaces of unplugged devices (no "present" filter), so
  // an unplugged phone's record turns from active to registered instead of going stale.
  std::unique_ptr<InterfaceList> list = platform_.OpenInterfaceList(kAdbInterfaceClass);
  if (!list) {
    MOBILEINFO_LOG(platform_, u"ADB listing failed: the interface list could not be opened");
    MutexLock lock(&adb_lock_);
    answered_serials_.clear();  // nothing seen: no interface is known to have stayed
    listed_whole_ = false;
    return false;
  }

  bool result = false;
  uint32_t error = 0;
  {
    // Held through the driver requests too: the scan thread, the notification thread and host
    // threads scan, and their runs must not interleave.
    MutexLock lock(&adb_lock_);
    // This scan's answers: an interface this scan does not reach listed active (inactive, gone,
    // or after a failure that ended the scan) is asked again when it is next seen active.
    std::map<std::u16string, std::u16string> answered;
    std::set<std::u16string> failed;
    bool new_failure = false;
    for (;;) {
      InterfaceEntry entry;
      if (!list->Next(entry)) {
        error = list->error();
        result = error == kErrorNoMoreItems;
        break;
      }
      std::u16string path;
      if (!ReadInterfacePath(entry, path, error)) break;  // later interfaces wait for the next scan

      UsbDeviceRecord parsed;
      std::memset(&parsed, 0, sizeof(parsed));
      if (!ParseInterfacePath(path.c_str(), &parsed)) continue;

      const std::u16string serial = FieldText(parsed.serial);
      auto found = adb_devices_.find(serial);
      if (found == adb_devices_.end()) {
        AdbRecord record = ZeroAdbRecord();
        CopyField(record.device_key, FieldText(parsed.device_key));
        found = adb_devices_.emplace(serial, record).first;
      }
      AdbRecord& record = found->second;
      if (entry.active) {
        auto known = answered_serials_.find(path);
        if (known != answered_serials_.end()) {
          // Active since it answered: the driver would answer the same again. Written as a
          // read writes it, as several paths may share the record.
          CopyField(record.adb_serial, known->second);
          answered.insert(*known);
        } else if (ReadAdbSerial(platform_, path.c_str(), record.adb_serial)) {
          answered[path] = FieldText(record.adb_serial);
        } else {
          new_failure |= failed_paths_.count(path) == 0;
          failed.insert(path);
        }
        // A failed read keeps the serial read before; the interface is up all the same.
        record.state = kAdbActive;
      } else {
        answered.erase(path);
        record.state = kAdbRegistered;
      }
    }
    answered_serials_ = std::move(answered);
    failed_paths_ = std::move(failed);
    listed_changes_ = changes;
    listed_tick_ = tick;
    listed_whole_ = result && !new_failure;
    Reindex();
  }
  if (!result) MOBILEINFO_LOG(platform_, u"ADB listing ended early: error %u", error);
  list.reset();  // destroyed outside the lock, like the open
  return result;
}

}  // namespace mobileinfo
