// The scan thread: waits for rescans, runs the USB scan, and turns arrivals into published phones
// and removals into the host's departure events.
#include "service/phone_record.h"
#include "service/run.h"
#include "support/debug_log.h"

namespace mobileinfo {

void Run::ScanThreadMain() {
  const DebugLog::ThreadName thread_name(u"scan");
  DeviceTracker& tracker = core().tracker;
  for (;;) {
    int signalled = events_.WaitAny({ServiceEvents::kStop, ServiceEvents::kRescan},
                                    ServiceEvents::kInfinite);
    if (signalled == ServiceEvents::kStop) return;
    if (signalled != ServiceEvents::kRescan) continue;

    tracker.ScanUsbDevices(&gate_);
    if (!tracker.HasChanges()) continue;
    core().adb.ScanAdbInterfaces(kAdbInterfaceClass);
    // Arrivals first, then removals of the same scan: a scan that saw one phone come and another
    // go must report both, or the departed phone would stay listed for good.
    ProcessChanges(1);
    ProcessChanges(0);
  }
}

void Run::ProcessChanges(int arrivals) {
  DeviceList taken = arrivals ? core().tracker.TakeArrivals() : core().tracker.TakeRemovals();
  if (taken.empty()) return;
  if (arrivals) {
    DeviceList output;
    core().ClassifyArrivals(taken, output, &gate_);
    if (!output.empty()) PublishPhones(output);
  } else {
    for (const UsbDeviceRecord& record : taken) RemoveDevice(record);
  }
}

int ServiceCore::ClassifyArrivals(const DeviceList& taken, DeviceList& output, SinkGate* gate) {
  DeviceList candidates;
  for (const UsbDeviceRecord& record : taken) {
    if (store.IsKnownPhoneSerial(FieldText(record.serial))) {
      MOBILEINFO_LOG(platform_, u"arrival %s %s: known serial, published from the cache",
                     FieldText(record.device_key).c_str(), FieldText(record.serial).c_str());
      output.push_back(record);
    } else if (!store.IsRejectedModel(FieldText(record.device_key))) {
      MOBILEINFO_LOG(platform_, u"arrival %s %s: candidate for identification",
                     FieldText(record.device_key).c_str(), FieldText(record.serial).c_str());
      candidates.push_back(record);
    } else {
      MOBILEINFO_LOG(platform_, u"arrival %s %s: dropped, the model is known to be no phone",
                     FieldText(record.device_key).c_str(), FieldText(record.serial).c_str());
    }
  }
  if (!candidates.empty()) IdentifyNewDevices(candidates, output, gate);
  return 1;
}

int Run::RemoveDevice(const UsbDeviceRecord& record) {
  GateEntry entry(&gate_);
  if (!entry) return 1;  // the run has ended: the next session's first scan sees the change
  std::optional<PhoneRecord> cached = core().store.FindPhoneIgnoringCase(FieldText(record.serial));
  PhoneRecord phone = cached ? *cached : MakePhoneRecord(record);
  core().phone_list.RemoveFirst(phone);
  Platform& platform = core().platform();

  bool pending;
  {
    std::lock_guard<std::mutex> lock(report_lock_);
    pending = events_.IsSet(ServiceEvents::kNotify);
    if (pending) ++report_changes_;  // the pending report covers it
  }
  MOBILEINFO_LOG(platform,
                 pending ? u"removal %s %s: left to the pending arrival report"
                         : u"removal %s %s: reported gone (code 2)",
                 FieldText(record.device_key).c_str(), FieldText(record.serial).c_str());
  if (!pending) gate_.CallSink(kDeviceRemoved, &phone);
  return 1;
}

int Run::PublishPhones(const DeviceList& output) {
  GateEntry entry(&gate_);
  if (!entry) return 1;  // the run has ended: its late work is dropped
  Platform& platform = core().platform();
  for (const UsbDeviceRecord& record : output) {
    MOBILEINFO_LOG(platform, u"publish %s %s", FieldText(record.device_key).c_str(),
                   FieldText(record.serial).c_str());
    core().phone_list.AppendIfAbsent(core().store.RecordToPublish(record));
  }

  bool begins;
  {
    std::lock_guard<std::mutex> lock(report_lock_);
    begins = !events_.IsSet(ServiceEvents::kNotify);
    if (!begins) ++report_changes_;  // the pending report covers the list as it now stands
  }
  MOBILEINFO_LOG(platform, begins ? u"arrival report begins (code 3)"
                                  : u"publication joins the pending arrival report");
  if (begins) {
    // Only the scan thread publishes, and no report is pending: nothing can end one before the
    // notify event is set below, so code 3 reaches the host before the report's end.
    if (!output.empty()) gate_.CallSink(kArrivalReportBegins, nullptr);
    std::lock_guard<std::mutex> lock(report_lock_);
    publication_tick_ = core().platform().TickCount();
    events_.Set(ServiceEvents::kNotify);
    ++report_changes_;
  }
  core().store.SavePhoneCache();
  return 1;
}

}  // namespace mobileinfo
