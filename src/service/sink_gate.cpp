#include "service/sink_gate.h"

namespace mobileinfo {

bool SinkGate::Enter() {
  std::lock_guard<std::mutex> lock(lock_);
  if (closed_) return false;
  ++inside_[std::this_thread::get_id()];
  return true;
}

void SinkGate::Leave() {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = inside_.find(std::this_thread::get_id());
  if (it == inside_.end()) return;
  if (--it->second == 0) inside_.erase(it);
  changed_.notify_all();
}

void SinkGate::Close() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(lock_);
  closed_ = true;
  closing_.insert(self);
  changed_.notify_all();
  changed_.wait(lock, [&] {
    for (const auto& entry : inside_) {
      if (entry.first != self && !closing_.count(entry.first)) return false;
    }
    return true;
  });
  closing_.erase(self);
  changed_.notify_all();
}

bool SinkGate::closed() {
  std::lock_guard<std::mutex> lock(lock_);
  return closed_;
}

// The sink is the host's object: only its slot layout is promised, not C++ type information (a C
// host's table has none), so UBSan's vptr check does not apply to this call.
#if defined(__GNUC__)
__attribute__((no_sanitize("vptr")))
#endif
void SinkGate::CallSink(int32_t code, PhoneRecord* record) {
  if (sink_ == nullptr) return;
  GateEntry entry(this);
  if (!entry) return;
  try {
    sink_->OnEvent(code, record);
  } catch (...) {
    // A host's exception must not end a worker thread.
  }
}

}  // namespace mobileinfo
