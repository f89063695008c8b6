// ADB interface paths and the driver's serial reply: which paths count, what they name, and when
// a reply is a usable serial. Pure functions apart from ReadAdbSerial, which asks the platform.
#ifndef MOBILEINFO_USB_INTERFACE_PATH_H
#define MOBILEINFO_USB_INTERFACE_PATH_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "model/records.h"

namespace mobileinfo {

// The scan copies a device path into a buffer of this many units, terminator included.
constexpr size_t kDevicePathCapacity = 260;
// The destination of ReadAdbSerial: an ADB record's serial field.
constexpr size_t kAdbSerialCapacity = 512;
// How long a driver may take to answer the serial request before it is abandoned as failed: the
// ADB lock is held across the request, and every query waits for that lock.
constexpr uint32_t kAdbSerialLimitMs = 1000;

// The path of one listed interface as the scan may use it. Fails when the platform could not
// fetch the path (error = the platform's error) or when the path does not fit the path buffer
// (error = kErrorInsufficientBuffer). Either failure ends the scan.
bool ReadInterfacePath(const InterfaceEntry& entry, std::u16string& path, uint32_t& error);

// Fills the serial and device-key fields of record from a path such as
// \\?\usb#vid_18d1&pid_4ee2#0123456789ABCDEF#{f72fe0d4-...}: the serial is the text between the
// last two '#', the device key the 17 units after the first '#', letter case kept. Fails for a
// null argument, a path under 32 units, a first component other than \\?\USB (any case), or fewer
// than two '#' after it. Other fields of record are left as they are.
bool ParseInterfacePath(const char16_t* path, UsbDeviceRecord* record);

// The serial in a get-serial-number reply: a UTF-16LE string that must end within the 1024 bytes
// and so stays under 512 units. False for a reply without terminator.
bool AdbSerialFromReply(const std::array<uint8_t, 1024>& reply, std::u16string& serial);

// Asks the driver behind path for its serial (abandoned after kAdbSerialLimitMs) and, only when
// the request succeeds and the reply is usable, copies it NUL-padded into destination
// (kAdbSerialCapacity units).
bool ReadAdbSerial(Platform& platform, const char16_t* path, char16_t* destination);

}  // namespace mobileinfo

#endif  // MOBILEINFO_USB_INTERFACE_PATH_H
