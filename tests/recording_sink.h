// A host sink for tests: records every event (code and a copy of the record) from both worker
// threads, and lets a test wait for events or hold the calling thread inside OnEvent.
#ifndef MOBILEINFO_TESTS_RECORDING_SINK_H
#define MOBILEINFO_TESTS_RECORDING_SINK_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mobileinfo/mobileinfo.h"
#include "support/text.h"

namespace mobileinfo {

struct RecordedEvent {
  int32_t code = 0;
  bool has_record = false;
  PhoneRecord record{};
  std::thread::id thread;
  std::chrono::steady_clock::time_point when;

  std::u16string serial() const { return FieldText(record.serial); }
  std::u16string device_key() const { return FieldText(record.device_key); }
  std::u16string name() const { return FieldText(record.name); }
};

class RecordingSink : public IPelmoInfoSink {
 public:
  int32_t OnEvent(int32_t code, PhoneRecord* record) override {
    RecordedEvent event;
    event.code = code;
    event.thread = std::this_thread::get_id();
    event.when = std::chrono::steady_clock::now();
    if (record) {
      event.has_record = true;
      event.record = *record;
      // The record is the host's to scribble on during the call.
      record->serial[0] = u'#';
    }
    std::function<void(int32_t)> reentry;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      events_.push_back(event);
      changed_.notify_all();
      changed_.wait(lock, [&] { return !hold_ || (hold_code_ != 0 && hold_code_ != code); });
      reentry = on_event_;
    }
    // What a host does from inside its sink (Stop, Release, ...), outside the sink's own lock.
    if (reentry) reentry(code);
    return 0;
  }

  // Waits until at least count events were recorded; false after timeout.
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
  }

  std::vector<RecordedEvent> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<int32_t> codes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int32_t> out;
    for (const auto& e : events_) out.push_back(e.code);
    return out;
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }

  // While held, every OnEvent call (or only those with code, when given) blocks after recording
  // its event.
  void Hold(bool hold, int32_t code = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
    hold_code_ = code;
    changed_.notify_all();
  }
  // Runs after each event is recorded, on the calling thread.
  void OnEach(std::function<void(int32_t code)> reentry) {
    std::lock_guard<std::mutex> lock(mutex_);
    on_event_ = std::move(reentry);
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedEvent> events_;
  bool hold_ = false;
  int32_t hold_code_ = 0;
  std::function<void(int32_t)> on_event_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_RECORDING_SINK_H
