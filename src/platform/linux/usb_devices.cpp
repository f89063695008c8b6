// The USB operations of the seam over sysfs: the present-device list, the ADB interface list and
// the ADB serial request.
#include <algorithm>
#include <memory>
#include <unordered_set>

#include "platform/linux/linux_platform.h"
#include "platform/linux/sysfs_usb.h"
#include "platform/linux/usb_names.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

// Interfaces of one device ordered by interface number, as the composite driver creates them.
std::vector<const SysfsUsbInterface*> FunctionsInOrder(const SysfsUsbDevice& device) {
  std::vector<const SysfsUsbInterface*> functions;
  for (const auto& usb_interface : device.interfaces) functions.push_back(&usb_interface);
  std::stable_sort(functions.begin(), functions.end(),
                   [](const SysfsUsbInterface* a, const SysfsUsbInterface* b) {
                     return a->number.value_or(0) < b->number.value_or(0);
                   });
  return functions;
}

struct PresentAdbInterface {
  std::u16string path;
  std::optional<std::string> serial;  // the device's serial string descriptor
};

std::vector<PresentAdbInterface> PresentAdbInterfaces(const std::vector<SysfsUsbDevice>& devices) {
  std::vector<PresentAdbInterface> present;
  for (const auto& device : devices) {
    if (device.root_hub) continue;
    for (const auto* usb_interface : FunctionsInOrder(device)) {
      if (IsAdbInterface(*usb_interface)) {
        present.push_back({AdbInterfacePath(device, *usb_interface), device.serial});
      }
    }
  }
  return present;
}

class AdbInterfaceList : public InterfaceList {
 public:
  explicit AdbInterfaceList(std::vector<InterfaceEntry> entries,
                            std::shared_ptr<const void> bus_read = nullptr)
      : entries_(std::move(entries)), bus_read_(std::move(bus_read)) {}

  bool Next(InterfaceEntry& entry) override {
    if (next_ >= entries_.size()) return false;
    entry = entries_[next_++];
    return true;
  }
  uint32_t error() const override { return kErrorNoMoreItems; }

 private:
  std::vector<InterfaceEntry> entries_;
  size_t next_ = 0;
  std::shared_ptr<const void> bus_read_;  // kept for RequestAdbSerial while the list is open
};

bool IsAdbClass(const std::u16string& class_guid) {
  const std::u16string braced = kAdbInterfaceClassLower;
  return EqualsIgnoreCase(class_guid, braced) ||
         EqualsIgnoreCase(class_guid, braced.substr(1, braced.size() - 2));
}

}  // namespace

struct LinuxPlatform::AdbBusRead {
  std::vector<PresentAdbInterface> present;
};

bool LinuxPlatform::ReadBus(std::vector<SysfsUsbDevice>& bus) {
  if (!ReadUsbBus(SysfsRoot(), bus)) return false;
  MutexLock lock(&names_mutex_);
  serial_names_.Assign(bus);
  return true;
}

bool LinuxPlatform::ListPresentDevices(std::vector<PresentDevice>& devices) {
  devices.clear();
  std::vector<SysfsUsbDevice> bus;
  if (!ReadBus(bus)) return false;
  for (const auto& device : bus) {
    devices.push_back({DeviceInstanceId(device), DeviceDescription(device)});
    if (device.root_hub || !device.IsComposite()) continue;
    for (const auto* function : FunctionsInOrder(device)) {
      devices.push_back({FunctionInstanceId(device, *function), FunctionDescription(*function)});
    }
  }
  return true;
}

std::unique_ptr<InterfaceList> LinuxPlatform::OpenInterfaceList(const std::u16string& class_guid) {
  std::vector<InterfaceEntry> entries;
  if (!IsAdbClass(class_guid)) return std::make_unique<AdbInterfaceList>(std::move(entries));
  std::vector<SysfsUsbDevice> bus;
  if (!ReadBus(bus)) bus.clear();  // nothing present; remembered ones still listed
  auto bus_read = std::make_shared<const AdbBusRead>(AdbBusRead{PresentAdbInterfaces(bus)});
  std::unordered_set<std::u16string> present;
  MutexLock lock(&adb_mutex_);
  listed_adb_ = bus_read;
  for (const auto& adb : bus_read->present) {
    if (present.insert(adb.path).second && known_adb_path_set_.insert(adb.path).second) {
      known_adb_paths_.push_back(adb.path);
    }
  }
  for (const auto& path : known_adb_paths_) {
    InterfaceEntry entry;
    entry.path = path;
    entry.active = present.count(path) != 0;
    entries.push_back(std::move(entry));
  }
  return std::make_unique<AdbInterfaceList>(std::move(entries), std::move(bus_read));
}

// Answered from sysfs, which holds the serial string the device gave when it was plugged in:
// nothing waits on a driver, so the limit never applies.
bool LinuxPlatform::RequestAdbSerial(const std::u16string& path,
                                     std::array<uint8_t, 1024>& reply, uint32_t) {
  reply.fill(0);
  std::shared_ptr<const AdbBusRead> bus_read;
  {
    MutexLock lock(&adb_mutex_);
    bus_read = listed_adb_.lock();
  }
  if (!bus_read) {
    std::vector<SysfsUsbDevice> bus;
    if (!ReadBus(bus)) return false;
    bus_read = std::make_shared<const AdbBusRead>(AdbBusRead{PresentAdbInterfaces(bus)});
  }
  for (const auto& adb : bus_read->present) {
    // Device paths name one object whatever the letter case, as CreateFileW treats them.
    if (!EqualsIgnoreCase(adb.path, path)) continue;
    if (!adb.serial) return false;
    // The driver answers the serial string as UTF-16LE; whatever does not fit the buffer is cut,
    // terminator included, and the core judges the reply.
    std::u16string serial = Utf8ToUtf16(*adb.serial);
    size_t units = std::min(serial.size(), reply.size() / 2);
    for (size_t i = 0; i < units; ++i) {
      reply[2 * i] = static_cast<uint8_t>(serial[i] & 0xFF);
      reply[2 * i + 1] = static_cast<uint8_t>(serial[i] >> 8);
    }
    return true;
  }
  return false;  // unplugged: the path names no present interface
}

}  // namespace mobileinfo
