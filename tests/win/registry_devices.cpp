#include "registry_devices.h"

#include <windows.h>
#include <setupapi.h>

#include <cwchar>
#include <vector>

namespace mobileinfo::testing {
namespace {

constexpr wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum\\";
constexpr wchar_t kDeviceClassesKey[] = L"System\\CurrentControlSet\\Control\\DeviceClasses\\";
// The device setup class the node is filed under; the interface class is what the tests list.
constexpr GUID kUsbSetupClass = {0x36fc9e60, 0xc465, 0x11cf,
                                 {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr GUID kAdbInterfaceClass = {0xf72fe0d4, 0xcbcb, 0x407d,
                                     {0x88, 0x14, 0x9e, 0xd6, 0x73, 0xd0, 0xdd, 0x6b}};

std::wstring ParentOf(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

void DeleteKeyIfEmpty(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD subkeys = 0;
  DWORD values = 0;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (subkeys == 0) RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
}

// The subkeys of DeviceClasses\{adb} whose DeviceInstance names instance_id. Found by content:
// the key name is SetupAPI's business (under Wine: "##?#usb#vid_...#serial#{guid}").
std::vector<std::wstring> InterfaceKeysOf(const std::wstring& instance_id) {
  std::vector<std::wstring> keys;
  std::wstring class_path = std::wstring(kDeviceClassesKey) + kAdbClassGuid;
  HKEY class_key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, class_path.c_str(), 0, KEY_READ, &class_key) !=
      ERROR_SUCCESS) {
    return keys;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[512];
    DWORD name_length = 512;
    if (RegEnumKeyExW(class_key, index, name, &name_length, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS) {
      break;
    }
    wchar_t instance[512] = {};
    DWORD size = sizeof(instance) - sizeof(wchar_t);
    if (RegGetValueW(class_key, name, L"DeviceInstance", RRF_RT_REG_SZ, nullptr, instance,
                     &size) == ERROR_SUCCESS &&
        _wcsicmp(instance, instance_id.c_str()) == 0) {
      keys.push_back(class_path + L"\\" + name);
    }
  }
  RegCloseKey(class_key);
  return keys;
}

}  // namespace

bool AddUsbDevice(const std::wstring& instance_id,
                  const std::optional<std::wstring>& description) {
  std::wstring path = kEnumKey + instance_id;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  // Wine's SetupAPI lists only instance keys with a well-formed ClassGUID, even with
  // DIGCF_ALLCLASSES; a node with DeviceDesc alone is silently left out. It does not test
  // DIGCF_PRESENT at all: every listed node counts as present.
  static constexpr wchar_t kUsbClassText[] = L"{36fc9e60-c465-11cf-8056-444553540000}";
  LSTATUS status = RegSetValueExW(key, L"ClassGUID", 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(kUsbClassText),
                                  sizeof(kUsbClassText));
  if (status == ERROR_SUCCESS && description) {
    status = RegSetValueExW(key, L"DeviceDesc", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(description->c_str()),
                            static_cast<DWORD>((description->size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

void RemoveUsbDevice(const std::wstring& instance_id) {
  std::wstring path = kEnumKey + instance_id;
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
  DeleteKeyIfEmpty(ParentOf(path));
}

bool AddAdbInterface(const std::wstring& instance_id, bool linked) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kUsbSetupClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof(device);
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof(iface);
  // Without SetupDiRegisterDeviceInfo the device would vanish with the list.
  bool ok = SetupDiCreateDeviceInfoW(set, instance_id.c_str(), &kUsbSetupClass, nullptr, nullptr,
                                     0, &device) &&
            SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) &&
            SetupDiCreateDeviceInterfaceW(set, &device, &kAdbInterfaceClass, nullptr, 0, &iface);
  SetupDiDestroyDeviceInfoList(set);
  return ok && SetAdbInterfaceLinked(instance_id, linked);
}

bool SetAdbInterfaceLinked(const std::wstring& instance_id, bool linked) {
  std::vector<std::wstring> keys = InterfaceKeysOf(instance_id);
  if (keys.empty()) return false;
  for (const std::wstring& interface_key : keys) {
    // SetupAPI reports SPINT_ACTIVE for an interface whose reference-string key "#" has
    // Control\Linked = 1 (what the device manager writes while the device is started).
    std::wstring control = interface_key + L"\\#\\Control";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, control.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    DWORD value = linked ? 1 : 0;
    LSTATUS status = RegSetValueExW(key, L"Linked", 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return false;
  }
  return true;
}

void RemoveAdbInterface(const std::wstring& instance_id) {
  for (const std::wstring& key : InterfaceKeysOf(instance_id)) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
  }
  RemoveUsbDevice(instance_id);
}

ScopedUsbDevice::ScopedUsbDevice(std::wstring instance_id, std::optional<std::wstring> description)
    : instance_id_(std::move(instance_id)) {
  RemoveUsbDevice(instance_id_);  // a node left by an earlier, interrupted run
  ok_ = AddUsbDevice(instance_id_, description);
}

ScopedUsbDevice::~ScopedUsbDevice() { RemoveUsbDevice(instance_id_); }

ScopedAdbInterface::ScopedAdbInterface(std::wstring instance_id, bool linked)
    : instance_id_(std::move(instance_id)) {
  RemoveAdbInterface(instance_id_);  // SetupAPI refuses to create an instance that exists
  ok_ = AddAdbInterface(instance_id_, linked);
}

ScopedAdbInterface::~ScopedAdbInterface() { RemoveAdbInterface(instance_id_); }

}  // namespace mobileinfo::testing
