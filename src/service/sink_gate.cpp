#include "service/sink_gate.h"

#include <algorithm>
#include <chrono>

#include "model/phone_record.h"

namespace mobileinfo {

namespace {
// How often a closing thread looks for sent messages while a sink call is in flight.
constexpr auto kMessageSlice = std::chrono::milliseconds(10);
}  // namespace

bool SinkGate::Enter() {
  MutexLock lock(&lock_);
  if (closed_) return false;
  ++inside_[std::this_thread::get_id()];
  return true;
}

void SinkGate::Leave() {
  MutexLock lock(&lock_);
  auto it = inside_.find(std::this_thread::get_id());
  if (it == inside_.end()) return;
  if (--it->second == 0) inside_.erase(it);
  changed_.SignalAll();
}

bool SinkGate::OthersInside(std::thread::id self) const {
  for (const auto& entry : inside_) {
    if (entry.first != self && !closing_.count(entry.first)) return true;
  }
  return false;
}

bool SinkGate::Close(uint32_t wait_ms) {
  const std::thread::id self = std::this_thread::get_id();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  MutexLock lock(&lock_);
  closed_ = true;
  const auto closing = closing_.insert(self);
  changed_.SignalAll();
  bool drained = true;
  while (OthersInside(self)) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      drained = false;
      break;
    }
    changed_.WaitUntil(lock_, std::min(deadline, now + kMessageSlice));
    if (!OthersInside(self)) break;
    // Outside the lock: a window procedure run from here may stop or destroy the service too.
    lock.Unlock();
    platform_.DispatchSentMessages();
    lock.Lock();
  }
  closing_.erase(closing);
  changed_.SignalAll();
  return drained;
}

bool SinkGate::closed() {
  MutexLock lock(&lock_);
  return closed_;
}

// The sink is the host's object: only its slot layout is promised, not C++ type information (a C
// host's table has none), so UBSan's vptr check does not apply to this call.
#if defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
void SinkGate::CallSink(const GateEntry& inside, int32_t code, PhoneRecord* record) {
  if (sink_ == nullptr || !inside) return;
  // Every record handed to the host is a copy of the library's own, and goes out terminated.
  if (record) TerminateTextFields(*record);
  try {
    sink_->OnEvent(code, record);
  } catch (...) {
    // A host's exception must not end a worker thread.
  }
}

}  // namespace mobileinfo
