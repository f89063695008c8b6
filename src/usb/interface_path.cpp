#include "usb/interface_path.h"

#include <cstring>

#include "support/text.h"

namespace mobileinfo {

namespace {

constexpr size_t kMinimumPathLength = 32;
constexpr size_t kDeviceKeyLength = 17;  // vid_vvvv&pid_pppp
const char16_t kUsbComponent[] = u"\\\\?\\USB";

size_t CLength(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

bool ReadInterfacePath(const InterfaceEntry& entry, std::u16string& path, uint32_t& error) {
  if (!entry.path) {
    // A backend that lost the reason still reports a failure, never "success".
    error = entry.path_error != 0 ? entry.path_error : kErrorGenFailure;
    return false;
  }
  const std::u16string& fetched = *entry.path;
  size_t length = fetched.find(u'\0');
  if (length == std::u16string::npos) length = fetched.size();
  if (length >= kDevicePathCapacity) {
    error = kErrorInsufficientBuffer;
    return false;
  }
  path.assign(fetched, 0, length);
  return true;
}

bool ParseInterfacePath(const char16_t* path, UsbDeviceRecord* record) {
  if (path == nullptr || record == nullptr) return false;
  const std::u16string text(path, CLength(path));
  if (text.size() < kMinimumPathLength) return false;

  const size_t first_hash = text.find(u'#');
  if (first_hash == std::u16string::npos) return false;
  if (!EqualsIgnoreCase(text.substr(0, first_hash), kUsbComponent)) return false;

  const size_t last_hash = text.rfind(u'#');
  if (last_hash == 0) return false;
  const size_t previous_hash = text.rfind(u'#', last_hash - 1);
  if (previous_hash == std::u16string::npos) return false;

  CopyTerminated(record->serial, text.substr(previous_hash + 1, last_hash - previous_hash - 1));
  CopyTerminated(record->device_key, text.substr(first_hash + 1, kDeviceKeyLength));
  return true;
}

bool AdbSerialFromReply(const std::array<uint8_t, 1024>& reply, std::u16string& serial) {
  constexpr size_t kUnits = sizeof(reply) / 2;
  std::u16string text;
  for (size_t i = 0; i < kUnits; ++i) {
    const char16_t unit = static_cast<char16_t>(reply[2 * i] | (reply[2 * i + 1] << 8));
    if (unit == 0) {
      if (text.size() >= kAdbSerialCapacity) return false;
      serial = std::move(text);
      return true;
    }
    text.push_back(unit);
  }
  return false;  // no terminator within the reply
}

bool ReadAdbSerial(Platform& platform, const char16_t* path, char16_t* destination) {
  if (path == nullptr || destination == nullptr) return false;
  std::array<uint8_t, 1024> reply{};
  if (!platform.RequestAdbSerial(std::u16string(path, CLength(path)), reply, kAdbSerialLimitMs)) {
    return false;
  }
  std::u16string serial;
  if (!AdbSerialFromReply(reply, serial)) return false;
  std::memcpy(destination, serial.data(), serial.size() * sizeof(char16_t));
  std::memset(destination + serial.size(), 0,
              (kAdbSerialCapacity - serial.size()) * sizeof(char16_t));
  return true;
}

}  // namespace mobileinfo
