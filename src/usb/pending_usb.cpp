// TEMPORARY: placeholder bodies so the tree links while the USB scans are written. Delete when
// usb_scan.cpp / adb_scan.cpp / device_snapshot.cpp land.
#include "service/service.h"
namespace mobileinfo {
int MobileInfoService::ScanUsbDevices() { return 0; }
void MobileInfoService::DiffDevices(DeviceMap, DeviceMap) {}
int MobileInfoService::ScanAdbInterfaces(const std::u16string&) { return 0; }
int MobileInfoService::LoadDeviceSnapshot() { return 0; }
int MobileInfoService::SaveDeviceSnapshot() { return 0; }
}  // namespace mobileinfo
