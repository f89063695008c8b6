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
// (in units, terminator included) and zero after the terminator; every record the library hands
// out is terminated so. The same image is the record format of the phone cache file, so no field
// may move. A phone whose model the web service does not know (an Android phone reported to it,
// for example) carries only the device key and the serial; every other field is zero. The driver
// fields are the values of the service's getDriver reply for the model, key by key.
struct PhoneRecord {
  char16_t device_key[32];          // "VID_vvvv&PID_pppp", lower-case hex: the USB model
  char16_t serial[512];             // the device's USB serial (or its port, see the guide)
  char16_t name[32];                // the service's model name ("Name"), not the USB product string
  char16_t description[32];         // "Description"
  char16_t image_url[2048];         // "ImageUrl": a picture of the model
  char16_t vendor_image_url[2048];  // "VendorImageUrl"
  char16_t package_download[2048];  // "PDown": where the driver package is downloaded
  char16_t driver_guid[40];         // "GUID"
  int32_t time_stamp;               // seconds since 1970 when the driver fields were stored
  uint32_t reserved;                // always 0
  uint32_t adb_status;              // 0 no ADB interface, 1 registered, 2 active (as of the last query)
  char16_t pack[260];               // "Pack"
  char16_t install_path[260];       // "InstallPath"
  char16_t md5[64];                 // "MD5": of the driver package
  char16_t file_ext[5];             // "FileExt"
  char16_t parameters[260];         // "Param": the driver installer's parameters
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

// Event codes passed to IPelmoInfoSink::OnEvent. An arrival report begins with code 3 and ends
// with code 1 or, rarely, 4; code 2 comes only while no report is pending (a removal during a
// report is covered by the report's end). After each code the phone list (MobileInfoListPhones)
// is already up to date.
enum PhoneEventCode : int32_t {
  // record: the phone that ends an arrival report: the first listed phone whose ADB interface is
  // active, or, once the 3-second grace period has passed, the first listed phone whatever its
  // ADB status. Only one phone per report: several phones plugged in together are all listed,
  // but only one of them is named here.
  kPhoneReady = 1,
  // record: a USB device left: the phone's record when the library knows its serial, else a
  // record with only the device key and serial (devices that are no phones come too).
  kDeviceRemoved = 2,
  // null: new phones were published (they are listed already): an arrival report begins.
  kArrivalReportBegins = 3,
  // null: an arrival report ended after its grace period with no phone listed (the phones it
  // began for left meanwhile). It never follows an ordinary unplug, which is code 2.
  kNoPhoneLeft = 4,
};

// The host's sink. The library calls only slot 0, OnEvent, from its two worker threads (codes 1
// and 4 from the notification thread, 2 and 3 from the scan thread), possibly at the same moment,
// never from the host's own threads; its result is ignored. A record passed in is a copy that
// lives for the duration of the call only. Inside OnEvent a host may call any slot and export:
// nothing of the library is locked during the call. Stop and the destruction slots return
// without waiting for the call they are made from; Init returns 0 (the service is running);
// QueryPhoneStatus and RefreshDriverInfo block the worker thread, and with it the reports,
// for as long as they take. Keep the sink alive from Init until Stop has returned.
class IPelmoInfoSink {
 public:
  virtual int32_t OnEvent(int32_t code, PhoneRecord* record) = 0;

 protected:
  ~IPelmoInfoSink() = default;
};

// A wide string handed to ExcludeFromCache by value: one pointer to the first unit of a shared
// text block. The block, on every platform:
//   offset 0   int32 refs      reference count: 1 or more sharers; below 0 never released
//   offset 4   int32 length    units of text, without the terminator
//   offset 8   int32 capacity  units the block holds, without the terminator (>= length)
//   offset 12  char16_t text[capacity + 1]: UTF-16 units, a NUL at text[length]
// and `text` points at offset 12. The caller hands over one reference; the library counts it
// down (interlocked) and, at 0, frees the block only into the heap it came from: on Windows the
// library's C runtime heap (free) or the process heap (HeapFree), told apart with HeapValidate;
// a block of any other heap (another C runtime's, a private heap) is left where it is, counted
// down only, for its owner to free. On Linux the process has one C heap: a block at 0 is freed
// with free(), so it must come from malloc; memory of any other kind keeps a reference of its
// own (refs 2). MobileInfoNewString makes such a block with the library's own runtime.
struct MobileInfoWideString {
  char16_t* text;
};

// The service interface: slots 0 to 14 of the object's table, in this order; the order is the
// contract (a host written in C calls them by index, see the guide), so nothing is ever
// reordered, inserted or removed. No C++ virtual destructor: GCC would give it two slots. A host
// destroys the object with Release (slot 0), DeletingDestructor(1) or ClearAndDestroy, after
// Stop. Calls in another order than CreatePelmoInfo, Init, Start, ..., Stop, destruction are
// bounded and refused cleanly (see the guide).
class IPelmoInfo {
 public:
  // 0: destroys the object. Call Stop first; without it the threads end at their next wait.
  virtual void Release() = 0;
  // 1: starts a session with sink. Reads MOBILEINFO_DEBUG and MOBILEINFO_HOME (the guide),
  // "mobileInfo.ini" and the phone cache. fresh_start 1: every device present at the first scan
  // is an arrival (a UI host's choice); 0: the last session's devices are restored from
  // "MobileInfo2.dat" and only what changed since is reported. 1 on success; 0 for a null or
  // unreadable sink (the files have been read all the same) and while the service is running.
  virtual int32_t Init(IPelmoInfoSink* sink, int32_t fresh_start) = 0;
  // 2: starts the two worker threads and the first scan. 1 when both run (also when they were
  // running already: one more scan); 0 without a successful Init since the last Stop, or when a
  // thread cannot be started.
  virtual int32_t Start() = 0;
  // 3: saves the phone cache and ends the threads. Always 1. Once it returns the sink is never
  // called again.
  virtual int32_t Stop() = 0;
  // 4: forwards a WM_DEVICECHANGE event type: 7, 0x8000 and 0x8004 make the service rescan the
  // bus (several during one scan make one more scan); other types and event_data are ignored.
  virtual void OnDeviceChange(uint32_t event_type, int32_t event_data) = 0;
  // 5: stores 0 in *slot and returns slot (null: returns null).
  virtual int32_t* Reserved5(int32_t* slot, int32_t ignored) = 0;
  // 6: frees buffer with the library's C runtime free() (null is ignored). No call of this
  // library hands out a buffer today, so a host has nothing to pass here.
  virtual void FreeBuffer(void* buffer) = 0;
  // 7: returns 1.
  virtual int32_t Reserved7(int32_t ignored) = 0;
  // 8: returns 0.
  virtual int32_t Reserved8(int32_t ignored) = 0;
  // 9: returns 0.
  virtual int32_t Reserved9(int32_t a, int32_t b, int32_t c) = 0;
  // 10: asks the web service again for the driver information of the record's device key and
  // writes it into the record (and into the phone cache when it holds the record's serial).
  // Blocks for the request, at most 60 seconds. 1 when fresh information was written; 0 when the
  // record is null or unreadable, no reply came in time, the reply has no section for the model,
  // or the cache held exactly this information already (the record is then written all the same).
  virtual int32_t RefreshDriverInfo(PhoneRecord* record) = 0;
  // 11: keeps the phone of this serial (exact text) out of "MobileInfo1.dat" until the next Init;
  // a file that holds it is saved without it before the call returns. It stays identified in
  // memory. Takes over one reference of the string (see MobileInfoWideString).
  virtual void ExcludeFromCache(MobileInfoWideString serial) = 0;
  // 12: reads the record's device key and serial and asks the system for the ADB interfaces:
  // 2 when the phone's interface is active (same device key, or an active interface reporting
  // this serial; a phone in fastboot has its bootloader's interface in the same class), 1 when an interface of its device key is registered but not active, else 0.
  // Writes the result into record->adb_status. 0 for a null or unreadable record. Answers from
  // the ADB interfaces listed last, listing them again first (and blocking for that, at most about
  // a second per driver request) only after a forwarded device change, when the last listing is
  // over 1,000 ms old, or after a driver's serial request failed.
  virtual int32_t QueryPhoneStatus(PhoneRecord* record) = 0;
  // 13: destroys the object; also frees its storage when bit 0 of flags is set. Returns this.
  virtual void* DeletingDestructor(uint32_t flags) = 0;
  // 14: ends the run, empties the library's lists, then destroys as DeletingDestructor(1).
  virtual void ClearAndDestroy() = 0;

 protected:
  ~IPelmoInfo() = default;
};

// The library's exports, undecorated, with the system's API calling convention (__stdcall on
// 32-bit Windows). A host that knows only CreatePelmoInfo sees nothing of the other two.
extern "C" {
// Creates the service object (not yet initialised). Both arguments are ignored. Null when the
// object cannot be allocated.
IPelmoInfo* MOBILEINFO_API CreatePelmoInfo(int32_t reserved1, int32_t reserved2);

// The phones the library has published and not seen leave, in the order they were published:
// copies, text fields terminated, at most capacity of them written to records. Returns how many
// there are (which may be more than capacity): call with records null and capacity 0 to learn
// the count. 0, and nothing written, for a null pointer or one that is not a live service object
// of this library. The list is up to date when each code reaches the sink; it outlives Stop and
// Init (a phone that stays plugged in across a restart stays listed), and the first scan of each
// session takes off what left meanwhile. Any thread, also inside OnEvent.
int32_t MOBILEINFO_API MobileInfoListPhones(IPelmoInfo* service, PhoneRecord* records,
                                            int32_t capacity);

// A string for ExcludeFromCache made with the library's own C runtime: units units of text
// copied (a NUL after them), reference count 1, capacity units. Null text for a null text, a
// negative count or no memory.
MobileInfoWideString MOBILEINFO_API MobileInfoNewString(const char16_t* text, int32_t units);
}

#endif  // MOBILEINFO_MOBILEINFO_H
