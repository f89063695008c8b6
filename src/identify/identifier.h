// The identifier: turns a scan's arrivals into phones to publish. Arrivals whose serial the phone
// store knows are published from the cache; models the store knows to be no phone are dropped;
// the rest are asked about in one getDriver request, whose reply the store keeps. It also serves
// the host's RefreshDriverInfo and tells the web service about Android devices it could not be
// asked about.
//
// Locking: a pass runs its request, reading and delete under pass_reply_lock_: a scan thread
// abandoned by Stop may still be in a pass when the next run's scan thread starts one, and the
// service object keeps one getDriver download and reply file at a time. Each pass's reply file
// has a name of its own. A refresh has reply files of its own and a turn of its own (refreshing_),
// so RefreshDriverInfo never waits for a pass, nor a pass for it. The phone store and the ADB
// registry take their own locks, never while this object holds one of its own.
#ifndef MOBILEINFO_IDENTIFY_IDENTIFIER_H
#define MOBILEINFO_IDENTIFY_IDENTIFIER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cache/phone_store.h"
#include "model/records.h"
#include "platform/platform.h"
#include "support/mutex.h"
#include "usb/adb_registry.h"

namespace mobileinfo {

// One candidate of a getDriver request with its driver id.
struct DriverLookupEntry {
  UsbDeviceRecord device;
  char16_t driver_id[32];
};

// service_base + "/intf/getDriver?os=<os_code>&bit=<bitness_code>&id=", ready for driver ids.
std::u16string GetDriverUrlStart(const std::u16string& service_base, int32_t os_code,
                                 int32_t bitness_code);

// What one identification pass learnt, before any of it is stored or published.
struct IdentificationPass {
  // One reply section's result for one lookup entry.
  struct Section {
    bool found = false;
    PhoneRecord record;  // the working record as stored, when found
  };
  DeviceList known;       // arrivals whose serial the store knows, in arrival order
  DeviceList candidates;  // arrivals asked about
  bool obtained = false;  // the request got a reply
  std::vector<DriverLookupEntry> lookup;  // the candidates that made it into the request
  std::vector<Section> sections;          // per lookup entry, when obtained
  // Per lookup entry (obtained) or per candidate (not obtained): an ADB interface matches it.
  // Asked only where the answer matters.
  std::vector<bool> is_adb;
};

class Identifier {
 public:
  Identifier(Platform& platform, PhoneStore& store, AdbRegistry& adb, std::u16string service_base,
             uint32_t download_limit_ms, uint32_t refresh_limit_ms);
  Identifier(const Identifier&) = delete;
  Identifier& operator=(const Identifier&) = delete;

  // The system codes sent with every getDriver request (Init's probes).
  void SetSystem(int32_t os_code, int32_t bitness_code);
  int32_t os_code() const { return os_code_; }
  int32_t bitness_code() const { return bitness_code_; }

  // The first step of a pass over arrivals: sorts them, asks the service about the candidates,
  // reads its reply and looks for ADB interfaces. Changes nothing the host can see; a run whose
  // end came meanwhile drops the result.
  IdentificationPass Prepare(const DeviceList& arrivals);
  // The second step: stores what the pass learnt, reports Android devices the service could not
  // be asked about, and appends the devices to publish to output.
  void Commit(const IdentificationPass& pass, DeviceList& output);
  // Both steps for candidates, all asked about.
  void IdentifyNewDevicesForTesting(const DeviceList& candidates, DeviceList& output);

  // The getDriver request for candidates, saved to a fresh reply file (reply_path). True when a
  // reply was saved; lookup gets the candidates that had a driver id, in order.
  bool RequestDriverInfo(const DeviceList& candidates, std::u16string& reply_path,
                         std::vector<DriverLookupEntry>& lookup);
  // Tells the service about an Android device it could not be asked about ("f72").
  void ReportUnidentifiedDevice(const std::u16string& device_key);
  // Slot 10: fetches one phone's driver information again, into record and the cache.
  int32_t RefreshDriverInfo(PhoneRecord* record);

 private:
  // The request, reading and ADB lookups of a pass whose candidates are set.
  void AskAbout(IdentificationPass& pass);

  Platform& platform_;
  PhoneStore& store_;
  AdbRegistry& adb_;
  const std::u16string service_base_;
  const uint32_t download_limit_ms_;
  const uint32_t refresh_limit_ms_;
  // Set by Init, read by the scan thread and RefreshDriverInfo.
  std::atomic<int32_t> os_code_{0};
  std::atomic<int32_t> bitness_code_{1};
  Mutex pass_reply_lock_;  // one pass's request and reply file at a time
  Mutex refresh_lock_;     // a leaf: held only to take or give back the refresh's turn
  CondVar refresh_cv_;
  bool refreshing_ GUARDED_BY(refresh_lock_) = false;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_IDENTIFY_IDENTIFIER_H
