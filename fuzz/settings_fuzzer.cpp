// "mobileInfo.ini" beside the host: the input is the file. ReadSettings succeeds exactly when
// the cache time-out key has a value, whatever the file holds around it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_platform.h"
#include "fuzz_input.h"
#include "cache/phone_store.h"
#include "platform/host_files.h"
#include "service/settings.h"
#include "support/profile_text.h"

using namespace mobileinfo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  FakePlatform platform;
  PhoneStore store(platform);
  platform.SetFile(HostFilePath(platform, u"mobileInfo.ini"), bytes);

  std::u16string value;
  const uint32_t n =
      ReadProfileText(DecodeProfileBytes(bytes), u"main", u"MobileInfoCacheTimeOut", 260, value);
  fuzz::Require(ReadSettings(platform, store) == (n != 0 ? 1 : 0));
  return 0;
}
