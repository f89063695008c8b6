// The notification thread, which turns the scan thread's publications into the host's arrival
// reports (codes 1 and 4).
#include <vector>

#include "model/phone_record.h"
#include "service/run.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

void Run::RunNotificationLoop() {
  const DebugLog::ThreadName thread_name(u"notify");
  for (;;) {
    int signalled = events_.WaitAny({ServiceEvents::kStop, ServiceEvents::kNotify},
                                    ServiceEvents::kInfinite);
    if (signalled == ServiceEvents::kStop) return;
    if (signalled != ServiceEvents::kNotify) continue;
    for (;;) {
      if (events_.WaitAny({ServiceEvents::kStop}, core().timings.poll_ms) ==
          ServiceEvents::kStop) {
        break;
      }
      // A poll that ends the report has reset the notify event itself. One that fails (a failed
      // allocation copying a large phone list) is tried again at the next poll: the report
      // still ends.
      try {
        if (PollArrivalReport()) break;
      } catch (const std::exception& error) {
        MOBILEINFO_LOG(core().platform, u"arrival report poll failed (%s)",
                       Utf8ToUtf16(error.what()).c_str());
      } catch (...) {
        MOBILEINFO_LOG(core().platform, u"arrival report poll failed");
      }
    }
  }
}

bool Run::PollArrivalReport() {
  // The ADB questions below may wait for a driver: they run outside the gate, so that Stop never
  // waits for them longer than for the thread itself.
  if (gate_.closed()) return true;  // the run has ended; the thread ends at its next wait
  const ArrivalReport::Look seen = report_.LookAtIt();
  const uint32_t elapsed = core().platform.TickCount() - seen.begun_tick;
  const bool expired = elapsed >= core().timings.grace_ms;

  std::vector<PhoneRecord> copies = core().phone_list.Copy();
  // Each copy is the host's to read during the call; nothing it does reaches the phone list.
  PhoneRecord* report = nullptr;
  // One ADB refresh, when the state may be stale, answers every listed phone.
  if (!copies.empty()) core().adb.RefreshIfStale();
  for (PhoneRecord& copy : copies) {
    if (core().adb.MatchAdbStatus(copy) == 2) {
      report = &copy;
      break;
    }
  }
  if (!report && !expired) return false;
  const bool adb_ready = report != nullptr;
  if (!report && !copies.empty()) report = &copies.front();

  GateEntry entry(&gate_);
  if (!entry) return true;
  // A publication or removal made during this poll was not seen by it: the poll looks again.
  if (!report_.End(seen)) return false;
  Platform& platform = core().platform;
  if (report) {
    MOBILEINFO_LOG(platform,
                   adb_ready ? u"arrival report ends (code 1): %s %s, its ADB interface is up"
                             : u"arrival report ends (code 1): %s %s, the first listed after %u ms",
                   FieldText(report->device_key).c_str(), FieldText(report->serial).c_str(),
                   elapsed);
  } else {
    MOBILEINFO_LOG(platform, u"arrival report ends (code 4): no phone is left");
  }
  gate_.CallSink(entry, report ? kPhoneReady : kNoPhoneLeft, report);
  return true;
}

}  // namespace mobileinfo
