// TEMPORARY: placeholder bodies so the tree links while identification is written. Delete when
// the identify/ and net/ sources land.
#include "service/service.h"
namespace mobileinfo {
void MobileInfoService::ReportUnidentifiedDevice(const std::u16string&) {}
void MobileInfoService::IdentifyNewDevices(const DeviceList&, DeviceList&) {}
bool MobileInfoService::IsAdbDevice(const UsbDeviceRecord&) { return false; }
bool MobileInfoService::RequestDriverInfo(const DeviceList&, std::u16string&,
                                          std::vector<DriverLookupEntry>&) { return false; }
int32_t MobileInfoService::RefreshDriverInfo(PhoneRecord*) { return 0; }
}  // namespace mobileinfo
