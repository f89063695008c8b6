// The door between one run's worker threads and everything outside them: the host's sink and the
// state and files a run's work ends in. A worker passes the gate for each call of the sink and
// for each step that commits its results, and for nothing else: no driver request, download or
// wait for another thread happens inside it, so closing the gate waits only for short commits
// and for the host's own sink calls. Stop and destruction close it; once Close has drained the
// gate no sink call is running (other than one of the closing thread itself) and none will start,
// and no worker of the run commits anything any more.
#ifndef MOBILEINFO_SERVICE_SINK_GATE_H
#define MOBILEINFO_SERVICE_SINK_GATE_H

#include <cstdint>
#include <map>
#include <set>
#include <thread>

#include "mobileinfo/mobileinfo.h"
#include "platform/platform.h"
#include "support/mutex.h"

namespace mobileinfo {

class GateEntry;

class SinkGate {
 public:
  SinkGate(IPelmoInfoSink* sink, Platform& platform) : sink_(sink), platform_(platform) {}
  SinkGate(const SinkGate&) = delete;
  SinkGate& operator=(const SinkGate&) = delete;

  // False once the gate is closed. Entries nest on one thread; each true needs one Leave.
  bool Enter();
  void Leave();
  // Lets no one in any more and waits up to wait_ms until every other thread has left, except
  // threads that are themselves waiting in Close: a host that stops the service from inside its
  // sink, on either worker thread or both, returns instead of waiting for itself. While it waits
  // the calling thread receives the messages sent to its windows, so a sink that hands its event
  // to the closing thread with SendMessage completes. True when the gate drained; false when a
  // thread was still inside after wait_ms (a sink blocked on something the library cannot
  // release). Called without any lock.
  bool Close(uint32_t wait_ms);
  bool closed();

  // The one place the host's sink is called: only by a thread inside the gate (the entry is the
  // proof), never with a lock held. A host's exception does not end the worker.
  void CallSink(const GateEntry& inside, int32_t code, PhoneRecord* record);

  IPelmoInfoSink* sink() const { return sink_; }

 private:
  // Whether a thread other than self, and not itself closing, is inside.
  bool OthersInside(std::thread::id self) const REQUIRES(lock_);

  IPelmoInfoSink* const sink_;  // the host's; never released
  Platform& platform_;
  // A leaf: held only to count entries, never across a sink call or a dispatch of messages.
  Mutex lock_;
  CondVar changed_;
  bool closed_ GUARDED_BY(lock_) = false;
  std::map<std::thread::id, int> inside_ GUARDED_BY(lock_);  // entries per thread
  // Threads waiting in Close (a sent message may nest).
  std::multiset<std::thread::id> closing_ GUARDED_BY(lock_);
};

// One pass through a gate for a scope; a null gate (work done on a host thread) always passes.
class GateEntry {
 public:
  explicit GateEntry(SinkGate* gate) : gate_(gate), passed_(!gate || gate->Enter()) {}
  ~GateEntry() {
    if (gate_ && passed_) gate_->Leave();
  }
  GateEntry(const GateEntry&) = delete;
  GateEntry& operator=(const GateEntry&) = delete;
  explicit operator bool() const { return passed_; }

 private:
  SinkGate* gate_;
  bool passed_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_SINK_GATE_H
