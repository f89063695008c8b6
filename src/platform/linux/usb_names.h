// How Windows names the USB devices sysfs describes: device instance ids, device descriptions
// and the device paths of ADB interfaces. Only naming happens here; which of these entries mean
// something is for the core to decide.
#ifndef MOBILEINFO_PLATFORM_LINUX_USB_NAMES_H
#define MOBILEINFO_PLATFORM_LINUX_USB_NAMES_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/sysfs_usb.h"

namespace mobileinfo {

// The Android USB driver's device interface class, as Windows spells it in device paths.
extern const char16_t kAdbInterfaceClassLower[];  // {f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}

// USB\VID_vvvv&PID_pppp\<serial or generated suffix>, or USB\ROOT_HUBxx\<suffix> for a root hub.
std::u16string DeviceInstanceId(const SysfsUsbDevice& device);
// USB\VID_vvvv&PID_pppp&MI_nn\<generated suffix>: the function of one interface of a composite
// device, as the composite driver enumerates it.
std::u16string FunctionInstanceId(const SysfsUsbDevice& device, const SysfsUsbInterface& function);

// The description Windows' own drivers would give the device, or nothing.
std::optional<std::u16string> DeviceDescription(const SysfsUsbDevice& device);
std::optional<std::u16string> FunctionDescription(const SysfsUsbInterface& function);

// An interface the Android USB driver registers under its ADB interface class: vendor class ff,
// subclass 42, protocol 01 (ADB) or 03 (the bootloader's fastboot), as its INF files bind both.
bool IsAdbInterface(const SysfsUsbInterface& usb_interface);
// The device path of an ADB interface: the instance id of the node it hangs on (the function of a
// composite device, else the device) with '\' turned into '#', behind \\?\ and before the class,
// all in lower case.
std::u16string AdbInterfacePath(const SysfsUsbDevice& device, const SysfsUsbInterface& adb);

// True when Windows would take the serial string into the instance id; otherwise it generates a
// suffix from the port the device is plugged into.
bool IsUsableSerial(const std::string& serial);

// Which device a serial names when several present devices of one vendor and product report the
// same one (cheap phones often all say 0123456789ABCDEF). Windows' hub driver gives the serial
// to the device that holds it and names a later one by its port, and a device keeps its name
// while it stays plugged in. sysfs only tells what is plugged in now, so the holders are
// remembered from one reading of the bus to the next. Not thread-safe: the owner locks.
class SerialNames {
 public:
  // Sets serial_taken on every device of devices (a whole reading of the bus) that is not to be
  // named by its serial. A device seen before keeps its naming; among devices not seen before,
  // the one plugged in longest (then the lowest port path) takes a serial nobody present holds.
  void Assign(std::vector<SysfsUsbDevice>& devices);

 private:
  // Every present device with a usable serial, as "<entry name>#<devnum>" (a device plugged in
  // again gets a new devnum), and whether its serial names it.
  std::map<std::string, bool> named_by_serial_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_LINUX_USB_NAMES_H
