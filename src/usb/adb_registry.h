// The ADB registry: the ADB device map (serial -> ADB record) of the Android USB driver's
// interfaces, the scan that refreshes it and the questions asked of it. The scan thread, the
// notification thread and host threads (QueryPhoneStatus) all use it.
#ifndef MOBILEINFO_USB_ADB_REGISTRY_H
#define MOBILEINFO_USB_ADB_REGISTRY_H

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/platform.h"
#include "model/records.h"
#include "support/mutex.h"
#include "support/text.h"

namespace mobileinfo {

class AdbRegistry {
 public:
  // How old the last listing may be before a question lists again.
  static constexpr uint32_t kListingBoundMs = 1000;

  explicit AdbRegistry(Platform& platform) : platform_(platform) {}
  AdbRegistry(const AdbRegistry&) = delete;
  AdbRegistry& operator=(const AdbRegistry&) = delete;

  // Lists the Android USB driver's interfaces and updates the map. True when the enumeration ran
  // to its end; otherwise the diagnostics say what stopped it.
  bool ScanAdbInterfaces();
  // Lists the ADB interfaces again when the map may no longer be what a listing would give: a
  // device change was noted since the last listing, the last listing is older than the bound or
  // did not run to its end, or a driver's serial request failed in it that had not failed in the
  // listing before (a request failing every time is asked again at the bound, not at every
  // question). Otherwise nothing: the questions below answer from the map. True when it listed.
  bool RefreshIfStale();
  // A device node came or went (the host forwarded a device change, or the USB scan saw one):
  // the next question lists again. Takes no lock, so a host's window procedure never waits for
  // a listing in progress.
  void NoteDeviceChange() { changes_.fetch_add(1); }

  // Refreshes the map if it is stale, then tells the record's ADB status (0, 1 or 2) and writes
  // it into the record.
  uint32_t QueryAdbStatus(PhoneRecord& record);
  // The same answer from the map as it stands, without a listing of its own: for a caller that
  // has just refreshed it and asks about several phones.
  uint32_t MatchAdbStatus(PhoneRecord& record);
  // Makes the next listing ask every active interface's driver for its serial again, and notes a
  // device change: for a caller that saw devices come or go.
  void ForgetAdbSerials();
  // Whether some ADB interface has the device's key or reports its serial (ignoring case), after
  // refreshing the map if it is stale.
  bool IsAdbDevice(const UsbDeviceRecord& device);

  // A copy of the ADB device map, and a map put in its place without a scan (tests).
  AdbMap DevicesForTesting();
  void ReplaceForTesting(AdbMap devices);

 private:
  bool Stale() REQUIRES(adb_lock_);
  // Rebuilds keys_, serials_ and active_serials_ from the map.
  void Reindex() REQUIRES(adb_lock_);

  Platform& platform_;
  // Held around RefreshIfStale's listing, opening and destroying the list included.
  Mutex listing_lock_ ACQUIRED_BEFORE(adb_lock_);
  // The ADB lock: guards adb_devices_ and every ADB enumeration, driver requests included.
  Mutex adb_lock_;
  AdbMap adb_devices_ GUARDED_BY(adb_lock_);
  // What the questions need of the map, so that one costs the same however many interfaces the
  // machine has registered: each device key with whether one of its interfaces is active, and the
  // serials the drivers reported, of every interface and of the active ones.
  std::unordered_map<FoldedKey, bool, FoldedKey::Hash> keys_ GUARDED_BY(adb_lock_);
  std::unordered_set<FoldedKey, FoldedKey::Hash> serials_ GUARDED_BY(adb_lock_);
  std::unordered_set<FoldedKey, FoldedKey::Hash> active_serials_ GUARDED_BY(adb_lock_);
  // Interface path -> the serial its driver answered, for the interfaces listed active in every
  // scan since that answer. The driver answers the serial of the device behind the interface,
  // which does not change while the device stays plugged in, so a scan asks only interfaces
  // that are new, came back, or have not answered yet.
  std::map<std::u16string, std::u16string> answered_serials_ GUARDED_BY(adb_lock_);
  // The paths whose serial request failed in the last listing.
  std::set<std::u16string> failed_paths_ GUARDED_BY(adb_lock_);
  // The last listing: the device changes noted when it began, its tick (TickCount) and whether
  // it left the map as a listing would (ran to its end, no new failed request).
  std::atomic<uint64_t> changes_{0};
  uint64_t listed_changes_ GUARDED_BY(adb_lock_) = 0;
  uint32_t listed_tick_ GUARDED_BY(adb_lock_) = 0;
  bool listed_whole_ GUARDED_BY(adb_lock_) = false;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_USB_ADB_REGISTRY_H
