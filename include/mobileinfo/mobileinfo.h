// The host's contract with mobileinfo: the service interface, the host sink, the phone record and
// the factory. A host includes only this header. Every layout here is fixed: an existing 32-bit
// Windows host calls these slots by index and reads these records byte by byte.
#ifndef MOBILEINFO_MOBILEINFO_H
#define MOBILEINFO_MOBILEINFO_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define MOBILEINFO_API __stdcall
#else
#define MOBILEINFO_API
#endif

// Phone record: 15296 bytes. Text fields are UTF-16LE, NUL-terminated within their capacity
// (in units, terminator included) and zero after the terminator. The same image is the record
// format of the phone cache file, so no field may move.
struct PhoneRecord {
  char16_t device_key[32];          // VID_vvvv&PID_pppp
  char16_t serial[512];
  char16_t name[32];
  char16_t description[32];
  char16_t image_url[2048];
  char16_t vendor_image_url[2048];
  char16_t package_download[2048];
  char16_t driver_guid[40];
  int32_t time_stamp;               // seconds since 1970 when the record was stored
  uint32_t reserved;                // always 0
  uint32_t adb_status;              // 0 no ADB interface, 1 registered, 2 active
  char16_t pack[260];
  char16_t install_path[260];
  char16_t md5[64];
  char16_t file_ext[5];
  char16_t parameters[260];
  char16_t padding;
};

static_assert(sizeof(PhoneRecord) == 15296, "phone record size");
static_assert(offsetof(PhoneRecord, device_key) == 0, "device key offset");
static_assert(offsetof(PhoneRecord, serial) == 64, "serial offset");
static_assert(offsetof(PhoneRecord, name) == 1088, "name offset");
static_assert(offsetof(PhoneRecord, description) == 1152, "description offset");
static_assert(offsetof(PhoneRecord, image_url) == 1216, "image URL offset");
static_assert(offsetof(PhoneRecord, vendor_image_url) == 5312, "vendor image URL offset");
static_assert(offsetof(PhoneRecord, package_download) == 9408, "package download offset");
static_assert(offsetof(PhoneRecord, driver_guid) == 13504, "driver GUID offset");
static_assert(offsetof(PhoneRecord, time_stamp) == 13584, "time stamp offset");
static_assert(offsetof(PhoneRecord, reserved) == 13588, "reserved offset");
static_assert(offsetof(PhoneRecord, adb_status) == 13592, "ADB status offset");
static_assert(offsetof(PhoneRecord, pack) == 13596, "pack offset");
static_assert(offsetof(PhoneRecord, install_path) == 14116, "install path offset");
static_assert(offsetof(PhoneRecord, md5) == 14636, "MD5 offset");
static_assert(offsetof(PhoneRecord, file_ext) == 14764, "file extension offset");
static_assert(offsetof(PhoneRecord, parameters) == 14774, "parameters offset");
static_assert(offsetof(PhoneRecord, padding) == 15294, "padding offset");

// Event codes passed to IPelmoInfoSink::OnEvent.
enum PhoneEventCode : int32_t {
  kPhoneReady = 1,          // record: the phone that ends an arrival report
  kDeviceRemoved = 2,       // record: the departed device (also devices that are no phones)
  kArrivalReportBegins = 3, // null
  kNoPhoneLeft = 4,         // null: the grace period passed and no phone is listed
};

// The host's sink. The library calls only slot 0, from its two worker threads, possibly at the
// same moment. A record passed in lives for the duration of the call only.
class IPelmoInfoSink {
 public:
  virtual int32_t OnEvent(int32_t code, PhoneRecord* record) = 0;

 protected:
  ~IPelmoInfoSink() = default;
};

// A wide string handed to ExcludeFromCache: one pointer to the first character of a shared text
// block whose header (three int32: reference count, length, capacity) sits in front of it. The
// caller hands over one reference; the library releases it (interlocked decrement; the block is
// freed with the C runtime's free() when the count reaches 0). A count below 0 marks a block that
// is never released (the empty string, or a locked block).
struct MobileInfoWideString {
  char16_t* text;
};

// The 13-slot service interface. Slot order is the contract; never reorder, insert or remove.
// No virtual destructor: GCC would give it two slots. Destroy with Release().
class IPelmoInfo {
 public:
  virtual void Release() = 0;                                          // 0
  virtual int32_t Init(IPelmoInfoSink* sink, int32_t fresh_start) = 0; // 1
  virtual int32_t Start() = 0;                                         // 2
  virtual int32_t Stop() = 0;                                          // 3
  virtual void OnDeviceChange(uint32_t event_type, int32_t event_data) = 0;  // 4
  virtual int32_t* Reserved5(int32_t* slot, int32_t ignored) = 0;      // 5
  virtual void FreeBuffer(void* buffer) = 0;                           // 6
  virtual int32_t Reserved7(int32_t ignored) = 0;                      // 7
  virtual int32_t Reserved8(int32_t ignored) = 0;                      // 8
  virtual int32_t Reserved9(int32_t a, int32_t b, int32_t c) = 0;      // 9
  virtual int32_t RefreshDriverInfo(PhoneRecord* record) = 0;          // 10
  virtual void ExcludeFromCache(MobileInfoWideString serial) = 0;      // 11
  virtual int32_t QueryPhoneStatus(PhoneRecord* record) = 0;           // 12

 protected:
  ~IPelmoInfo() = default;
};

extern "C" {
// Creates the service object (not yet initialised). Both arguments are ignored. Null when the
// object cannot be allocated.
IPelmoInfo* MOBILEINFO_API CreatePelmoInfo(int32_t reserved1, int32_t reserved2);
}

#endif  // MOBILEINFO_MOBILEINFO_H
