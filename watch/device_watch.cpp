// The one-call form: the platform's watcher on a thread of its own.
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "watch_internal.h"

namespace mobileinfo {

struct DeviceWatch::State {
  std::atomic<bool> stop{false};
  watch_internal::Waker waker;
  std::atomic<bool> finished{false};
  std::mutex mutex;
  std::condition_variable changed;
  bool listening = false;  // guarded by mutex, as is notice until Start returns
  std::string notice;
  std::string error;       // written by the thread before finished
  int result = 0;          // the same
  std::thread thread;
};

DeviceWatch::DeviceWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}

DeviceWatch::~DeviceWatch() { Stop(); }

std::unique_ptr<DeviceWatch> DeviceWatch::Start(IPelmoInfo* service, const WatchOptions& options,
                                                std::string* error) {
  if (!service) {
    if (error) *error = "no service to forward device changes to";
    return nullptr;
  }
  auto state = std::make_unique<State>();
  State* s = state.get();
  try {
    s->thread = std::thread([service, options, s] {
      std::string failure;
      const watch_internal::WatchControl control{
          s->stop, &s->waker, [s](const std::string& notice) {
            std::lock_guard<std::mutex> lock(s->mutex);
            s->notice = notice;
            s->listening = true;
            s->changed.notify_all();
          }};
      const int result = watch_internal::Watch(service, options, control, failure);
      s->error = std::move(failure);
      s->result = result;
      bool listened;
      {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->finished = true;
        listened = s->listening;
        s->changed.notify_all();
      }
      if (listened && !s->stop && options.ended) options.ended();
    });
  } catch (const std::system_error& e) {
    if (error) *error = std::string("cannot start the watch thread: ") + e.what();
    return nullptr;
  }
  {
    std::unique_lock<std::mutex> lock(s->mutex);
    s->changed.wait(lock, [s] { return s->listening || s->finished; });
  }
  std::unique_ptr<DeviceWatch> watch(new DeviceWatch(std::move(state)));
  if (!s->listening) {
    // It ended before it listened: it could not start.
    const int result = watch->Stop();
    if (error) *error = result ? s->error : "the watch ended before it started";
    return nullptr;
  }
  return watch;
}

int DeviceWatch::Stop() {
  if (state_->thread.joinable()) {
    state_->stop = true;
    state_->waker.Wake();
    state_->thread.join();
  }
  return state_->finished ? state_->result : 0;
}

bool DeviceWatch::Finished() const { return state_->finished; }

const std::string& DeviceWatch::notice() const { return state_->notice; }

const std::string& DeviceWatch::error() const { return state_->error; }

int WatchDevices(IPelmoInfo* service, const WatchOptions& options, std::atomic<bool>& stop,
                 std::string& error) {
  if (!service) {
    error = "no service to forward device changes to";
    return 1;
  }
  const watch_internal::WatchControl control{stop, nullptr, [](const std::string&) {}};
  return watch_internal::Watch(service, options, control, error);
}

}  // namespace mobileinfo
