// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <setupapi.h>

#include <cstring>
#include <new>

#include "support/text.h"

namespace mobileinfo {
namespace {

constexpr DWORD kInstanceIdUnits = MAX_PATH;       // 260 units, the size passed in characters
constexpr DWORD kDescriptionBytes = 2 * MAX_PATH;  // 520 bytes, the size passed in bytes
constexpr DWORD kIoctlGetSerialNumber = 0x00224040;
// How long a serial request may take to end once cancelled before it is left to its driver.
constexpr DWORD kCancelWaitMs = 100;

// The shipped DLL is 32-bit, where SetupAPI's structures are packed to 1 byte; a host built with
// the Windows SDK passes and expects exactly these sizes.
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA layout");
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28,
              "SP_DEVICE_INTERFACE_DATA layout");
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6,
              "SP_DEVICE_INTERFACE_DETAIL_DATA_W layout");
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8,
              "SP_DEVICE_INTERFACE_DETAIL_DATA_W layout");

int HexValue(char16_t unit) {
  if (unit >= u'0' && unit <= u'9') return unit - u'0';
  if (unit >= u'a' && unit <= u'f') return unit - u'a' + 10;
  if (unit >= u'A' && unit <= u'F') return unit - u'A' + 10;
  return -1;
}

// Reads `digits` hex digits starting at text[position] into value, most significant first.
bool ReadHex(const std::u16string& text, size_t position, size_t digits, uint64_t& value) {
  if (position + digits > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    int digit = HexValue(text[position + i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  return true;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", braces optional. Parsed here rather than with
// CLSIDFromString or UuidFromStringW, which would add ole32 or rpcrt4 to the library's imports.
bool ParseGuid(std::u16string text, GUID& guid) {
  if (text.size() == 38 && text.front() == u'{' && text.back() == u'}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36 || text[8] != u'-' || text[13] != u'-' || text[18] != u'-' ||
      text[23] != u'-') {
    return false;
  }
  uint64_t value = 0;
  if (!ReadHex(text, 0, 8, value)) return false;
  guid.Data1 = static_cast<uint32_t>(value);
  if (!ReadHex(text, 9, 4, value)) return false;
  guid.Data2 = static_cast<uint16_t>(value);
  if (!ReadHex(text, 14, 4, value)) return false;
  guid.Data3 = static_cast<uint16_t>(value);
  static constexpr size_t kBytePositions[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (size_t i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePositions[i], 2, value)) return false;
    guid.Data4[i] = static_cast<uint8_t>(value);
  }
  return true;
}

class SetupDiInterfaceList final : public InterfaceList {
 public:
  SetupDiInterfaceList(HDEVINFO list, const GUID& class_guid)
      : list_(list), class_guid_(class_guid) {}
  ~SetupDiInterfaceList() override { SetupDiDestroyDeviceInfoList(list_); }
  SetupDiInterfaceList(const SetupDiInterfaceList&) = delete;
  SetupDiInterfaceList& operator=(const SetupDiInterfaceList&) = delete;

  bool Next(InterfaceEntry& entry) override {
    entry = InterfaceEntry();
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(list_, nullptr, &class_guid_, index_, &data)) {
      error_ = GetLastError();
      return false;
    }
    ++index_;
    error_ = 0;
    entry.active = (data.Flags & SPINT_ACTIVE) != 0;
    ReadPath(data, entry);
    return true;
  }

  uint32_t error() const override { return error_; }

 private:
  // One size query, one fetch. The whole path is reported; judging its length is the core's.
  void ReadPath(SP_DEVICE_INTERFACE_DATA& data, InterfaceEntry& entry) {
    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailW(list_, &data, nullptr, 0, &required, nullptr)) {
      entry.path_error = kErrorGenFailure;  // a size query that "succeeds" gives no size
      return;
    }
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
      entry.path_error = error;
      return;
    }
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
      entry.path_error = kErrorGenFailure;
      return;
    }
    std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[required]);
    if (!storage) {
      entry.path_error = kErrorOutOfMemory;
      return;
    }
    std::memset(storage.get(), 0, required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.get());
    // The fixed part's size, not the allocation's: 6 bytes in the 32-bit layout, 8 in the
    // 64-bit one. SetupAPI refuses any other value.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list_, &data, detail, required, nullptr, nullptr)) {
      entry.path_error = GetLastError();
      return;
    }
    size_t capacity = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) /
                      sizeof(wchar_t);
    entry.path = TextFromBuffer(detail->DevicePath, capacity);
  }

  HDEVINFO list_;
  GUID class_guid_;
  DWORD index_ = 0;
  uint32_t error_ = 0;
};

}  // namespace

bool Win32Platform::ListPresentDevices(std::vector<PresentDevice>& devices) {
  HDEVINFO list =
      SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (list == INVALID_HANDLE_VALUE) return false;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!SetupDiEnumDeviceInfo(list, index, &device)) break;  // normally ERROR_NO_MORE_ITEMS

    PresentDevice entry;
    wchar_t instance_id[kInstanceIdUnits + 1] = {};
    // Device instance ids are at most 199 units (MAX_DEVICE_ID_LEN), so this read fails only
    // when the list itself goes wrong; Wine even cuts longer registry names to 199 units when it
    // lists them.
    if (!SetupDiGetDeviceInstanceIdW(list, &device, instance_id, kInstanceIdUnits, nullptr)) {
      // The core abandons the whole scan at such an entry; nothing after it matters.
      devices.push_back(std::move(entry));
      break;
    }
    entry.instance_id = TextFromBuffer(instance_id, kInstanceIdUnits);

    wchar_t description[kDescriptionBytes / sizeof(wchar_t) + 1] = {};
    if (SetupDiGetDeviceRegistryPropertyW(list, &device, SPDRP_DEVICEDESC, nullptr,
                                          reinterpret_cast<BYTE*>(description),
                                          kDescriptionBytes, nullptr)) {
      entry.description = TextFromBuffer(description, kDescriptionBytes / sizeof(wchar_t));
    }
    devices.push_back(std::move(entry));
  }
  SetupDiDestroyDeviceInfoList(list);
  return true;
}

std::unique_ptr<InterfaceList> Win32Platform::OpenInterfaceList(
    const std::u16string& class_guid) {
  GUID guid = {};
  if (!ParseGuid(class_guid, guid)) return nullptr;
  // No DIGCF_PRESENT: the interfaces of unplugged devices are listed too, without SPINT_ACTIVE.
  HDEVINFO list = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return nullptr;
  std::unique_ptr<InterfaceList> result(new (std::nothrow) SetupDiInterfaceList(list, guid));
  if (!result) SetupDiDestroyDeviceInfoList(list);
  return result;
}

bool Win32Platform::RequestAdbSerial(const std::u16string& path,
                                     std::array<uint8_t, 1024>& reply, uint32_t limit_ms) {
  reply.fill(0);
  {
    MutexLock lock(&abandoned_mutex_);
    for (auto it = abandoned_.begin(); it != abandoned_.end();) {
      SerialRequest* request = *it;
      if (WaitForSingleObject(request->overlapped.hEvent, 0) != WAIT_OBJECT_0) {
        // Its driver is still busy with the last request: one more would only pile up.
        if (EqualsIgnoreCase(request->path, path)) return false;
        ++it;
        continue;
      }
      CloseHandle(request->overlapped.hEvent);
      delete request;
      it = abandoned_.erase(it);
    }
  }
  HANDLE handle = CreateFileW(WideText(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  SerialRequest* request = new (std::nothrow) SerialRequest();
  if (request) request->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!request || !request->overlapped.hEvent) {
    delete request;
    CloseHandle(handle);
    return false;
  }
  request->path = path;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(handle, kIoctlGetSerialNumber, nullptr, 0, request->reply.data(),
                            static_cast<DWORD>(request->reply.size()), &returned,
                            &request->overlapped);
  bool pending = !ok && GetLastError() == ERROR_IO_PENDING;
  if (pending && WaitForSingleObject(request->overlapped.hEvent, limit_ms) == WAIT_OBJECT_0) {
    ok = GetOverlappedResult(handle, &request->overlapped, &returned, FALSE);
    pending = false;
  } else if (pending) {
    // Too slow: cancelled, and counted as failed whatever it answers later. A driver that
    // honours the cancel ends the request at once.
    CancelIoEx(handle, &request->overlapped);
    pending = WaitForSingleObject(request->overlapped.hEvent, kCancelWaitMs) != WAIT_OBJECT_0;
    ok = FALSE;
  }
  CloseHandle(handle);
  if (pending) {
    MutexLock lock(&abandoned_mutex_);
    abandoned_.push_back(request);
    return false;
  }
  if (ok) reply = request->reply;
  CloseHandle(request->overlapped.hEvent);
  delete request;
  return ok != FALSE;
}

}  // namespace mobileinfo
