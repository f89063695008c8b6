// The phone cache file "MobileInfo1.dat" beside the host: the input is the file. The load keeps
// the young records; a save then writes what the load kept, and a second load reads that image.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_platform.h"
#include "fuzz_input.h"
#include "platform/host_files.h"
#include "cache/phone_store.h"

using namespace mobileinfo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakePlatform platform;
  // A clock the seed records are young for (they are stamped a little before it).
  platform.ManualTime(1000, 1700000000);
  PhoneStore service(platform);
  const std::u16string path = HostFilePath(platform, u"MobileInfo1.dat");
  platform.SetFile(path, std::string(reinterpret_cast<const char*>(data), size));

  service.LoadPhoneCache();
  if (service.SavePhoneCache()) {
    // What this build wrote, this build reads back.
    PhoneStore reader(platform);
    fuzz::Require(reader.LoadPhoneCache());
  }
  return 0;
}
