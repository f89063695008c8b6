// One run of the service: created by a successful Init, started by Start, ended by Stop or
// destruction. It owns the two worker threads, the three events, the gate to the host's sink and
// the arrival report. The host's object and both worker threads hold it, so a thread that
// outlives Stop's wait or the object's destruction keeps alive exactly what it uses: this run and
// the shared core, never the host's object.
#ifndef MOBILEINFO_SERVICE_RUN_H
#define MOBILEINFO_SERVICE_RUN_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "service/arrival_report.h"
#include "service/events.h"
#include "service/service_core.h"
#include "service/sink_gate.h"
#include "support/mutex.h"

namespace mobileinfo {

class Run : public std::enable_shared_from_this<Run> {
 public:
  Run(std::shared_ptr<ServiceCore> core, IPelmoInfoSink* sink);
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Starts whichever of the two threads is not running yet (notification thread first), then
  // sets the rescan event. 0 when a thread cannot be started or the run has ended.
  int32_t Start();
  // Ends the run: sets the stop event, closes the gate (waiting for sink calls and commits on
  // other threads, at most the sink wait), saves the changes the run made known since the last
  // snapshot, and waits up to wait_ms for each thread, except the calling one. A thread still
  // busy after that is abandoned: it can no longer reach the sink, the shared state or the files.
  void End(uint32_t wait_ms);
  // Started and not ended.
  bool Running();
  // Names the workers' lock in the lifecycle lock's order; for annotations only (never defined).
  Mutex& workers_lock() RETURN_CAPABILITY(workers_lock_);
  void Rescan() { events_.Set(ServiceEvents::kRescan); }
  // The notification tests begin reports of their own, without a scan thread's code 3.
  ArrivalReport& ReportForTesting() { return report_; }

 private:
  struct Worker {
    bool started = false;
    bool done = false;
    std::thread::id id;
  };
  bool StartWorker(Worker Run::*worker, void (Run::*body)());
  // One rescan: the USB scan, the ADB scan when anything changed, the changes, and the scan made
  // known. first: the run's first completed scan, which also takes phones listed in an earlier
  // session off the list when the bus no longer has them.
  void ScanCycle(bool& first);
  // Adds to the scan's removals the listed phones that its bus does not have.
  void AddDepartedListedPhones(UsbScan& scan);

  // --- scan thread and change processing (run_scan.cpp) ---------------------------------
  void ScanThreadMain();
  // Processes the arrivals or removals of one scan, making each known as the host hears of it.
  void ProcessArrivals(const DeviceList& taken);
  void ProcessRemovals(const DeviceList& taken);
  // The host hears of a departed device (code 2) unless a pending report covers it. Inside the
  // gate.
  void RemoveDevice(const GateEntry& inside, const UsbDeviceRecord& record);
  // Lists the phones and begins an arrival report (code 3), or joins the pending one. Inside the
  // gate.
  void PublishPhones(const GateEntry& inside, const DeviceList& output);

  // --- notification thread (run_notification.cpp) -------------------------------------
  void RunNotificationLoop();
  // One poll of a pending report; true when it ended.
  bool PollArrivalReport();

  const std::shared_ptr<ServiceCore> core_;
  ServiceCore& core() { return *core_; }
  ServiceEvents events_;
  SinkGate gate_;

  // Before the events' lock: Start sets the rescan event once the threads are started, under it.
  Mutex workers_lock_ ACQUIRED_BEFORE(events_.mutex());
  CondVar workers_changed_;
  Worker scan_ GUARDED_BY(workers_lock_);
  Worker notification_ GUARDED_BY(workers_lock_);
  bool ended_ GUARDED_BY(workers_lock_) = false;

  ArrivalReport report_{events_};
  // Changes made known (inside the gate) since the snapshot was last saved: End saves them when
  // the cycle that made them cannot.
  std::atomic<bool> snapshot_unsaved_{false};
  // The same for what identification stored in the phone store since the cycle's save.
  std::atomic<bool> cache_unsaved_{false};
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_RUN_H
