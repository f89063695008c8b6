// Device instance ids of the present-device list (USB\VID_vvvv&PID_pppp\<serial>) turned into USB
// device records. Pure functions: the backends report ids and descriptions as the system gives
// them, and every rule about which of them count lives here.
#ifndef MOBILEINFO_USB_INSTANCE_ID_H
#define MOBILEINFO_USB_INSTANCE_ID_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "model/records.h"

namespace mobileinfo {

// The scan reads an id into a buffer of this many units, terminator included; a longer id makes
// the read fail, which abandons the whole scan.
constexpr size_t kInstanceIdCapacity = 260;
// The description is read into a 520-byte buffer; one that does not fit counts as unreadable.
constexpr size_t kDescriptionCapacity = 260;

// The text as a C string sees it: everything before the first NUL.
std::u16string TextBeforeNul(const std::u16string& text);

// True when the id (up to its first NUL) fits the id buffer with its terminator.
bool InstanceIdFits(const std::u16string& instance_id);

// 1 mass storage ("Mass" or "大容量"), 2 composite ("Composite"), else 0; the tests are
// case-sensitive substring searches in that order. No description, or one too long for the
// description buffer, gives 0.
int32_t StorageKindOf(const std::optional<std::u16string>& description);

// Fills record (zeroed first) from one present device. False when the device is not a USB device
// with vendor and product id and is to be skipped: another prefix than "USB\VID_", no "PID_", no
// backslash, or a product id text longer than 4 units (the &MI_nn children of composite devices).
// The id must already have passed InstanceIdFits.
bool ParseInstanceId(const std::u16string& instance_id,
                     const std::optional<std::u16string>& description, UsbDeviceRecord& record);

}  // namespace mobileinfo

#endif  // MOBILEINFO_USB_INSTANCE_ID_H
