// Test-only device set-up for the Windows backend under Wine: USB device nodes written straight
// into the registry, and ADB interfaces registered through SetupAPI, each taken away again.
// Uses advapi32, which the library itself must not import.
#ifndef MOBILEINFO_TESTS_WIN_REGISTRY_DEVICES_H
#define MOBILEINFO_TESTS_WIN_REGISTRY_DEVICES_H

#include <optional>
#include <string>

namespace mobileinfo::testing {

// The Android USB driver's interface class.
inline constexpr wchar_t kAdbClassGuid[] = L"{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}";

// Writes HKLM\System\CurrentControlSet\Enum\<instance_id> with the USB ClassGUID and
// DeviceDesc (when given).
bool AddUsbDevice(const std::wstring& instance_id, const std::optional<std::wstring>& description);
// Removes the node and, when it was the last one, its VID_xxxx&PID_xxxx parent key.
void RemoveUsbDevice(const std::wstring& instance_id);

// Registers the device instance_id and an ADB-class interface on it; linked makes it active.
bool AddAdbInterface(const std::wstring& instance_id, bool linked);
// Sets or clears Linked under the interface key's "#\Control" subkey.
bool SetAdbInterfaceLinked(const std::wstring& instance_id, bool linked);
// Removes the interface keys and the device node.
void RemoveAdbInterface(const std::wstring& instance_id);

// A USB device node for the life of the object.
class ScopedUsbDevice {
 public:
  ScopedUsbDevice(std::wstring instance_id, std::optional<std::wstring> description);
  ~ScopedUsbDevice();
  ScopedUsbDevice(const ScopedUsbDevice&) = delete;
  ScopedUsbDevice& operator=(const ScopedUsbDevice&) = delete;
  bool ok() const { return ok_; }

 private:
  std::wstring instance_id_;
  bool ok_;
};

// An ADB interface for the life of the object.
class ScopedAdbInterface {
 public:
  ScopedAdbInterface(std::wstring instance_id, bool linked);
  ~ScopedAdbInterface();
  ScopedAdbInterface(const ScopedAdbInterface&) = delete;
  ScopedAdbInterface& operator=(const ScopedAdbInterface&) = delete;
  bool ok() const { return ok_; }

 private:
  std::wstring instance_id_;
  bool ok_;
};

}  // namespace mobileinfo::testing

#endif  // MOBILEINFO_TESTS_WIN_REGISTRY_DEVICES_H
