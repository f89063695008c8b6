// The USB bus as sysfs lays it out: <root>/bus/usb/devices/ holds one entry per device ("usb1"
// for a root hub, "1-2", "1-2.3" behind hubs) and one per interface of the active configuration
// ("1-2:1.0"), side by side, each a link into <root>/devices/.
#ifndef MOBILEINFO_PLATFORM_LINUX_SYSFS_USB_H
#define MOBILEINFO_PLATFORM_LINUX_SYSFS_USB_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mobileinfo {

struct SysfsUsbInterface {
  std::string name;                    // "1-2:1.0"
  std::optional<unsigned> number;      // bInterfaceNumber
  std::optional<unsigned> class_code;  // bInterfaceClass
  std::optional<unsigned> subclass;    // bInterfaceSubClass
  std::optional<unsigned> protocol;    // bInterfaceProtocol
  std::optional<std::string> text;     // the interface string descriptor
};

struct SysfsUsbDevice {
  std::string name;  // "1-2.3", "usb1"
  bool root_hub = false;
  std::string vendor;   // idVendor as written, blanks trimmed
  std::string product;  // idProduct as written, blanks trimmed
  std::optional<std::string> serial;          // serial string descriptor
  std::optional<std::string> product_string;  // product string descriptor
  std::optional<unsigned> usb_major;          // from "version", e.g. " 2.00"
  std::optional<unsigned> num_interfaces;     // bNumInterfaces
  std::optional<unsigned> devnum;             // the bus's number for this plugging of the device
  std::optional<uint64_t> connected_ms;       // power/connected_duration: plugged in this long
  std::vector<SysfsUsbInterface> interfaces;  // by bus entry name
  // Another present device of the same vendor and product is already named by the same serial
  // (see SerialNames); left false by ReadUsbBus.
  bool serial_taken = false;

  // A composite device: several interfaces in its active configuration.
  bool IsComposite() const {
    return (num_interfaces && *num_interfaces > 1) || interfaces.size() > 1;
  }
};

// Reads every device entry of the bus with its interfaces, sorted by entry name. Devices without
// readable idVendor and idProduct (gone while being read, or broken) are left out. False when the
// bus directory exists but cannot be listed, or root itself is missing; a machine without a USB
// bus gives true and no devices.
bool ReadUsbBus(const std::string& root, std::vector<SysfsUsbDevice>& devices);

// The attribute's text: the file's content without the newline sysfs ends it with. Nothing when
// the file is missing or unreadable.
std::optional<std::string> ReadSysfsText(const std::string& path);

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_LINUX_SYSFS_USB_H
