/* A plain USB device on Wine's fake bus, for the C test hosts: Wine's SetupAPI lists a device
 * node under HKLM\System\CurrentControlSet\Enum that has a ClassGUID value, and every listed
 * node counts as present. Windows only; include <windows.h> first. */
#ifndef MOBILEINFO_TESTS_ABI_WINE_BUS_H
#define MOBILEINFO_TESTS_ABI_WINE_BUS_H

/* Creates the node at key (a path below HKEY_LOCAL_MACHINE) as a modem-class device; 1 when
 * done. */
static int AddPlainUsbNode(const wchar_t* key) {
  static const wchar_t kClass[] = L"{36fc9e60-c465-11cf-8056-444553540000}";
  static const wchar_t kDescription[] = L"Phone Modem";
  HKEY node;
  LSTATUS status;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_WRITE, NULL, &node, NULL) !=
      ERROR_SUCCESS) {
    return 0;
  }
  status = RegSetValueExW(node, L"ClassGUID", 0, REG_SZ, (const BYTE*)kClass, sizeof kClass);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(node, L"DeviceDesc", 0, REG_SZ, (const BYTE*)kDescription,
                            sizeof kDescription);
  }
  RegCloseKey(node);
  return status == ERROR_SUCCESS;
}

#endif /* MOBILEINFO_TESTS_ABI_WINE_BUS_H */
