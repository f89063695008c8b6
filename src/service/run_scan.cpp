// The scan thread: waits for rescans, runs the USB scan, and turns arrivals into published phones
// and removals into the host's departure events.
//
// A scan's devices become known (the present-device map, "MobileInfo2.dat") only as the host
// hears of its changes: each arrival batch and each removal is made known in the same gate entry
// that tells the host, and the cycle's end makes the whole scan known and saves it. A cycle cut
// short by Stop therefore leaves the changes it did not report to the next session's first scan.
#include <unordered_set>

#include "identify/reply_file.h"
#include "model/phone_record.h"
#include "service/run.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

void Run::ScanThreadMain() {
  const DebugLog::ThreadName thread_name(u"scan");
  // Each run clears away what killed processes left in the middle of a request, even a run that
  // never sends one; off the host's thread, as the folder may be a large one.
  RemoveLeftoverReplyFiles(core().platform, core().platform.TempDirectory());
  bool first = true;
  for (;;) {
    int signalled = events_.WaitAny({ServiceEvents::kStop, ServiceEvents::kRescan},
                                    ServiceEvents::kInfinite);
    if (signalled == ServiceEvents::kStop) return;
    if (signalled != ServiceEvents::kRescan) continue;
    // A cycle that fails (a failed allocation with a large cache in a 32-bit host) ends that
    // cycle, not the thread: what it did not make known, the next cycle sees again.
    try {
      ScanCycle(first);
    } catch (const std::exception& error) {
      MOBILEINFO_LOG(core().platform, u"scan cycle failed (%s); waiting for the next change",
                     Utf8ToUtf16(error.what()).c_str());
    } catch (...) {
      MOBILEINFO_LOG(core().platform, u"scan cycle failed; waiting for the next change");
    }
  }
}

void Run::ScanCycle(bool& first) {
  DeviceTracker& tracker = core().tracker;
  // The changes are this cycle's own: a thread of an earlier run, abandoned in a pass, can
  // neither take nor drop them.
  UsbScan scan;
  if (!tracker.Scan(scan)) return;
  if (first) {
    AddDepartedListedPhones(scan);
    first = false;
  }
  if (!scan.arrivals.empty() || !scan.removals.empty()) {
    // A device may have taken another's place, and its interface path, between two ADB scans
    // (a phone without serial keeps the path of its port): every active interface is asked.
    core().adb.ForgetAdbSerials();
    // Arrivals first, then removals of the same scan: a scan that saw one phone come and another
    // go must report both, or the departed phone would stay listed for good.
    ProcessArrivals(scan.arrivals);
    ProcessRemovals(scan.removals);
    // The ADB listing of arrivals, unless the identification made it: after the host heard of
    // them, as a listing grows with every phone the machine has seen and would hold up code 3;
    // the arrival report's first poll then answers from it. A removal leaves the listing to the
    // next question, so that it holds up no arrival that follows.
    if (!scan.arrivals.empty()) core().adb.RefreshIfStale();
  }
  GateEntry entry(&gate_);
  if (!entry) {
    MOBILEINFO_LOG(core().platform, u"scan dropped: its run has ended");
    return;
  }
  tracker.Complete(std::move(scan.devices));
  snapshot_unsaved_ = false;
  // After the host has heard of the cycle's phones (code 3): saving a large cache takes a while.
  // Nothing is written when the cycle changed nothing the cache holds.
  if (cache_unsaved_.exchange(false)) core().store.SavePhoneCache();
}

void Run::AddDepartedListedPhones(UsbScan& scan) {
  // The phone list outlives Stop and Init: a phone unplugged meanwhile would otherwise stay
  // listed, and a later arrival report could announce it as plugged in.
  std::unordered_set<FoldedKey, FoldedKey::Hash> seen;
  for (const auto& entry : scan.devices) seen.emplace(entry.first);
  for (const UsbDeviceRecord& removal : scan.removals) seen.emplace(removal.serial);
  for (const PhoneRecord& listed : core().phone_list.Copy()) {
    if (!seen.emplace(listed.serial).second) continue;
    MOBILEINFO_LOG(core().platform, u"listed phone %s %s is not on the bus: removed",
                   FieldText(listed.device_key).c_str(), FieldText(listed.serial).c_str());
    UsbDeviceRecord departed = ZeroDeviceRecord();
    CopyField(departed.device_key, FieldText(listed.device_key));
    CopyField(departed.serial, FieldText(listed.serial));
    scan.removals.push_back(departed);
  }
}

void Run::ProcessArrivals(const DeviceList& taken) {
  if (taken.empty()) return;
  // The pass's request may outlive Stop's wait; what it learnt is stored, and the arrivals
  // settled (published, or known to be no phone), in the entry that tells the host.
  const IdentificationPass pass = core().identifier.Prepare(taken);
  GateEntry entry(&gate_);
  if (!entry) {
    // The next session's first scan sees the arrivals again.
    MOBILEINFO_LOG(core().platform, u"identification dropped: its run has ended");
    return;
  }
  DeviceList output;
  core().identifier.Commit(pass, output);
  core().tracker.AcknowledgeArrivals(taken);
  snapshot_unsaved_ = true;
  cache_unsaved_ = true;
  if (!output.empty()) PublishPhones(entry, output);
}

void Run::ProcessRemovals(const DeviceList& taken) {
  for (const UsbDeviceRecord& record : taken) {
    GateEntry entry(&gate_);
    if (!entry) return;  // the run has ended: the next session's first scan sees the change
    core().tracker.AcknowledgeRemoval(record);
    snapshot_unsaved_ = true;
    RemoveDevice(entry, record);
  }
}

void Run::RemoveDevice(const GateEntry& inside, const UsbDeviceRecord& record) {
  std::optional<PhoneRecord> cached = core().store.FindPhoneIgnoringCase(FieldText(record.serial));
  PhoneRecord phone = cached ? *cached : MakePhoneRecord(record);
  core().phone_list.RemoveFirst(phone);
  const bool covered = report_.Join();
  MOBILEINFO_LOG(core().platform,
                 covered ? u"removal %s %s: left to the pending arrival report"
                         : u"removal %s %s: reported gone (code 2)",
                 FieldText(record.device_key).c_str(), FieldText(record.serial).c_str());
  if (!covered) gate_.CallSink(inside, kDeviceRemoved, &phone);
}

void Run::PublishPhones(const GateEntry& inside, const DeviceList& output) {
  Platform& platform = core().platform;
  for (const UsbDeviceRecord& record : output) {
    MOBILEINFO_LOG(platform, u"publish %s %s", FieldText(record.device_key).c_str(),
                   FieldText(record.serial).c_str());
    core().phone_list.AppendIfAbsent(core().store.RecordToPublish(record));
  }
  if (report_.Join()) {
    MOBILEINFO_LOG(platform, u"publication joins the pending arrival report");
    return;
  }
  MOBILEINFO_LOG(platform, u"arrival report begins (code 3)");
  gate_.CallSink(inside, kArrivalReportBegins, nullptr);
  report_.Begin(platform.TickCount());
}

}  // namespace mobileinfo
