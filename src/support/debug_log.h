// Opt-in diagnostics for host developers: one line per decision the library takes (a device
// dropped, a reply refused, a file not written), so that "my phone does not show up" can be
// answered without a debugger. Off unless the host's environment sets MOBILEINFO_DEBUG:
//   unset, "" or "0"   off: nothing is written and each call site costs one flag test
//   "1"                the system's debug output (Windows: OutputDebugStringW, read with a debug
//                      viewer; elsewhere: standard error)
//   anything else      the name of a file the lines are appended to
// Each line starts with the UTC time to the millisecond and a tag of the thread that wrote it.
// Messages name decisions and keys (device keys, serials, URLs, counts); never a whole record.
#ifndef MOBILEINFO_SUPPORT_DEBUG_LOG_H
#define MOBILEINFO_SUPPORT_DEBUG_LOG_H

#include <atomic>
#include <cstdarg>
#include <optional>
#include <string>

#include "support/mutex.h"

namespace mobileinfo {

// Where the lines go: the platform writes a line to the system's debug output (empty path) or
// appends it to a file.
class DebugLineOutput {
 public:
  virtual void WriteDebugLine(const std::u16string& line, const std::u16string& path) = 0;

 protected:
  ~DebugLineOutput() = default;
};

class DebugLog {
 public:
  // True when lines are written. Relaxed: a line more or less around Init does not matter.
  bool on() const { return on_.load(std::memory_order_relaxed); }

  // Switches according to the value of MOBILEINFO_DEBUG in the environment (nothing: unset).
  // Called by Init, so that a host can switch diagnostics on before any service starts.
  void Configure(const std::optional<std::u16string>& setting);

  // Formats one line with the library's printf-style formatter (%s takes a char16_t text) and
  // writes it with the time and thread tag in front.
  void Write(DebugLineOutput& output, const char16_t* format, ...);

  // Names the calling thread in the lines it writes ("scan", "notify"...) while it lives, and
  // gives the thread its earlier name back at the end (a worker's body may run on a thread of
  // the host's, as tests do). Threads that never name themselves are tagged "host". name must
  // outlive the object (a literal).
  class ThreadName {
   public:
    explicit ThreadName(const char16_t* name);
    ~ThreadName();
    ThreadName(const ThreadName&) = delete;
    ThreadName& operator=(const ThreadName&) = delete;

   private:
    const char16_t* previous_;
  };

  // The prefix of a line: "hh:mm:ss.mmm [tag N] ", N numbering the threads in order of their
  // first line. Exposed for tests.
  static std::u16string LinePrefix(int64_t unix_milliseconds);

 private:
  std::atomic<bool> on_{false};
  // A leaf: lines are written under any of the library's locks, and nothing is called or
  // locked while this one is held (Write copies the path and lets go).
  Mutex lock_;
  std::u16string path_ GUARDED_BY(lock_);  // empty: the system's debug output
};

}  // namespace mobileinfo

// The one way to write a line: the arguments are not even evaluated while diagnostics are off.
#define MOBILEINFO_LOG(platform, ...)                                              \
  do {                                                                             \
    if ((platform).debug_log().on()) (platform).debug_log().Write((platform), __VA_ARGS__); \
  } while (0)

#endif  // MOBILEINFO_SUPPORT_DEBUG_LOG_H
