// The ADB driver's answer to the get-serial-number request: 1024 bytes the driver fills as it
// likes. Input: the reply's first bytes; the rest of the reply stays zero, as the platform zeroes
// the buffer before the request.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_platform.h"
#include "fuzz_input.h"
#include "usb/interface_path.h"

using namespace mobileinfo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, 1024> reply{};
  std::copy(data, data + std::min(size, reply.size()), reply.begin());

  std::u16string serial = u"old";
  const bool usable = AdbSerialFromReply(reply, serial);
  if (usable) {
    fuzz::Require(serial.size() < kAdbSerialCapacity);
    fuzz::Require(serial.find(u'\0') == std::u16string::npos);
  }

  FakePlatform platform;
  const std::u16string path = u"\\\\?\\usb#vid_18d1&pid_4ee7#0123456789abcdef#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
  platform.Lock()->adb_serial_replies[path] = reply;
  // One unit more than the destination, to catch a write past it.
  std::array<char16_t, kAdbSerialCapacity + 1> destination;
  destination.fill(u'#');
  const int read = ReadAdbSerial(platform, path.c_str(), destination.data());
  fuzz::Require(read == (usable ? 1 : 0));
  fuzz::Require(destination[kAdbSerialCapacity] == u'#');
  if (read) {
    fuzz::Require(std::u16string(destination.data(), serial.size()) == serial);
    for (size_t i = serial.size(); i < kAdbSerialCapacity; ++i) fuzz::Require(destination[i] == 0);
  }
  return 0;
}
