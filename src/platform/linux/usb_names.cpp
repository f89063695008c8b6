#include "platform/linux/usb_names.h"

#include <algorithm>
#include <cstdio>

#include "support/text.h"

namespace mobileinfo {

const char16_t kAdbInterfaceClassLower[] = u"{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";

namespace {

constexpr unsigned kClassMassStorage = 0x08;

uint32_t Fnv1a(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash;
}

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }

std::u16string UpperAscii(std::u16string text) {
  for (auto& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - (u'a' - u'A'));
  }
  return text;
}

// Windows' generated instance suffixes have the shape <depth>&<8 hex digits>&0[&<port>]. The
// hash stands for the parent's id prefix: derived from the sysfs name (bus and port path), it is
// stable while the device stays in the same port, as on Windows.
std::u16string IdPrefix(unsigned depth, const std::string& seed) {
  char text[32];
  std::snprintf(text, sizeof text, "%u&%08X&0", depth, Fnv1a(seed));
  return Ascii(text);
}

// Root hubs sit at depth 4; each hub level below adds one ("1-2" 5, "1-2.3" 6).
unsigned Depth(const SysfsUsbDevice& device) {
  if (device.root_hub) return 4;
  return 5 + static_cast<unsigned>(std::count(device.name.begin(), device.name.end(), '.'));
}

// The port number the device is plugged into: the last number of its port path.
std::string PortNumber(const std::string& name) {
  size_t separator = name.find_last_of("-.");
  return separator == std::string::npos ? std::string("0") : name.substr(separator + 1);
}

std::u16string GeneratedSuffix(const SysfsUsbDevice& device) {
  std::u16string suffix = IdPrefix(Depth(device), device.name);
  if (!device.root_hub) suffix += u"&" + Utf8ToUtf16(PortNumber(device.name));
  return suffix;
}

std::u16string VidPid(const SysfsUsbDevice& device) {
  return u"VID_" + UpperAscii(Utf8ToUtf16(device.vendor)) + u"&PID_" +
         UpperAscii(Utf8ToUtf16(device.product));
}

bool HasMassStorageInterface(const SysfsUsbDevice& device) {
  return std::any_of(device.interfaces.begin(), device.interfaces.end(),
                     [](const SysfsUsbInterface& i) { return i.class_code == kClassMassStorage; });
}

std::u16string PathForm(const std::u16string& instance_id) {
  std::u16string path = u"\\\\?\\" + instance_id + u"#" + kAdbInterfaceClassLower;
  std::replace(path.begin() + 4, path.end(), u'\\', u'#');
  return LowerAscii(path);
}

}  // namespace

bool IsUsableSerial(const std::string& serial) {
  // The hub driver ignores a serial string with characters an instance id may not hold (blanks,
  // controls, non-ASCII, ',') and the id's own separator would split it.
  if (serial.empty()) return false;
  return std::all_of(serial.begin(), serial.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && u != ',' && u != '\\';
  });
}

void SerialNames::Assign(std::vector<SysfsUsbDevice>& devices) {
  // Instance ids are registry key names, which ignore letter case; so do vendor and product.
  std::map<std::string, std::vector<SysfsUsbDevice*>> by_id;
  for (SysfsUsbDevice& device : devices) {
    if (device.root_hub || !device.serial || !IsUsableSerial(*device.serial)) continue;
    std::string id = device.vendor + "&" + device.product + "\\" + *device.serial;
    std::transform(id.begin(), id.end(), id.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; });
    by_id[id].push_back(&device);
  }
  std::map<std::string, bool> named_now;
  for (auto& entry : by_id) {
    const auto identity = [](const SysfsUsbDevice& device) {
      return device.name + "#" + (device.devnum ? std::to_string(*device.devnum) : "");
    };
    bool held = false;
    std::vector<SysfsUsbDevice*> newcomers;
    for (SysfsUsbDevice* device : entry.second) {
      auto known = named_by_serial_.find(identity(*device));
      if (known == named_by_serial_.end()) {
        newcomers.push_back(device);
        continue;
      }
      device->serial_taken = !known->second || held;
      held = held || !device->serial_taken;
    }
    // Devices listed in port order: a stable sort keeps it among equally old ones.
    std::stable_sort(newcomers.begin(), newcomers.end(),
                     [](const SysfsUsbDevice* a, const SysfsUsbDevice* b) {
                       return a->connected_ms.value_or(0) > b->connected_ms.value_or(0);
                     });
    for (SysfsUsbDevice* device : newcomers) {
      device->serial_taken = held;
      held = true;
    }
    for (const SysfsUsbDevice* device : entry.second) {
      named_now[identity(*device)] = !device->serial_taken;
    }
  }
  named_by_serial_.swap(named_now);
}

std::u16string DeviceInstanceId(const SysfsUsbDevice& device) {
  if (device.root_hub) {
    const char16_t* kind = u"ROOT_HUB20";
    if (device.usb_major && *device.usb_major < 2) kind = u"ROOT_HUB";
    if (device.usb_major && *device.usb_major >= 3) kind = u"ROOT_HUB30";
    return u"USB\\" + std::u16string(kind) + u"\\" + GeneratedSuffix(device);
  }
  std::u16string last = (device.serial && IsUsableSerial(*device.serial) && !device.serial_taken)
                            ? Utf8ToUtf16(*device.serial)
                            : GeneratedSuffix(device);
  return u"USB\\" + VidPid(device) + u"\\" + last;
}

std::u16string FunctionInstanceId(const SysfsUsbDevice& device, const SysfsUsbInterface& function) {
  unsigned number = function.number.value_or(0) & 0xFF;
  char mi[8];
  std::snprintf(mi, sizeof mi, "%02X", number);
  char index[8];
  std::snprintf(index, sizeof index, "%04X", number);
  return u"USB\\" + VidPid(device) + u"&MI_" + Ascii(mi) + u"\\" +
         IdPrefix(Depth(device) + 1, device.name + ":") + u"&" + Ascii(index);
}

std::optional<std::u16string> DeviceDescription(const SysfsUsbDevice& device) {
  // The composite driver takes a device with several interfaces whatever they are; its
  // mass-storage function then carries the mass-storage name.
  if (device.root_hub) return std::u16string(u"USB Root Hub");
  if (device.IsComposite()) return std::u16string(u"USB Composite Device");
  if (HasMassStorageInterface(device)) return std::u16string(u"USB Mass Storage Device");
  if (device.product_string) return Utf8ToUtf16(*device.product_string);
  return std::nullopt;
}

std::optional<std::u16string> FunctionDescription(const SysfsUsbInterface& function) {
  if (function.class_code == kClassMassStorage) return std::u16string(u"USB Mass Storage Device");
  if (function.text) return Utf8ToUtf16(*function.text);
  return std::nullopt;
}

bool IsAdbInterface(const SysfsUsbInterface& usb_interface) {
  return usb_interface.class_code == 0xFFu && usb_interface.subclass == 0x42u &&
         (usb_interface.protocol == 0x01u || usb_interface.protocol == 0x03u);
}

std::u16string AdbInterfacePath(const SysfsUsbDevice& device, const SysfsUsbInterface& adb) {
  return PathForm(device.IsComposite() ? FunctionInstanceId(device, adb) : DeviceInstanceId(device));
}

}  // namespace mobileinfo
