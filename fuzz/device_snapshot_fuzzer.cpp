// The device snapshot file "MobileInfo2.dat" beside the host: the input is the file. The load
// fills the present-device map; a save then writes the map, and a second load reads that image.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_platform.h"
#include "fuzz_input.h"
#include "platform/host_files.h"
#include "usb/device_tracker.h"

using namespace mobileinfo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakePlatform platform;
  DeviceTracker service(platform);
  const std::u16string path = HostFilePath(platform, u"MobileInfo2.dat");
  platform.SetFile(path, std::string(reinterpret_cast<const char*>(data), size));

  service.LoadDeviceSnapshot();
  // What this build wrote, this build reads back (an empty map is an empty file: nothing to read).
  if (service.SaveDeviceSnapshot() && !service.PresentDevicesForTesting().empty()) {
    DeviceTracker reader(platform);
    fuzz::Require(reader.LoadDeviceSnapshot());
    fuzz::Require(reader.PresentDevicesForTesting().size() == service.PresentDevicesForTesting().size());
  }
  return 0;
}
