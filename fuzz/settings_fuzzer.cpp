// "mobileInfo.ini" beside the host: the input is the file. ReadSettings succeeds exactly when
// the cache time-out key has a value, whatever the file holds around it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_platform.h"
#include "fuzz_input.h"
#include "service/service.h"
#include "support/profile_text.h"

using namespace mobileinfo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  FakePlatform platform;
  MobileInfoService service(platform);
  platform.SetFile(service.HostFilePath(u"mobileInfo.ini"), bytes);

  std::u16string value;
  const uint32_t n =
      ReadProfileText(DecodeProfileBytes(bytes), u"main", u"MobileInfoCacheTimeOut", 260, value);
  fuzz::Require(service.ReadSettings() == (n != 0 ? 1 : 0));
  return 0;
}
