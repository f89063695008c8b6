#include "support/debug_log.h"

#include <chrono>
#include <optional>

#include "support/wide_string.h"

namespace mobileinfo {
namespace {

thread_local const char16_t* t_thread_name = nullptr;
thread_local int t_thread_number = 0;
std::atomic<int> g_threads_seen{0};  // hands out thread numbers, nothing else

void AppendNumber(std::u16string& out, int64_t value, int digits) {
  char16_t text[24];
  int n = 0;
  do {
    text[n++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value > 0 || n < digits);
  while (n > 0) out += text[--n];
}

}  // namespace

void DebugLog::Configure(const std::optional<std::u16string>& value) {
  bool on = value && !value->empty() && *value != u"0";
  {
    MutexLock hold(&lock_);
    path_ = on && *value != u"1" ? *value : std::u16string();
  }
  on_.store(on, std::memory_order_relaxed);
}

DebugLog::ThreadName::ThreadName(const char16_t* name) : previous_(t_thread_name) {
  t_thread_name = name;
}

DebugLog::ThreadName::~ThreadName() { t_thread_name = previous_; }

std::u16string DebugLog::LinePrefix(int64_t unix_milliseconds) {
  if (t_thread_number == 0) t_thread_number = ++g_threads_seen;
  int64_t day_ms = unix_milliseconds % (24 * 3600 * 1000);
  if (day_ms < 0) day_ms += 24 * 3600 * 1000;
  std::u16string prefix;
  AppendNumber(prefix, day_ms / 3600000, 2);
  prefix += u':';
  AppendNumber(prefix, day_ms / 60000 % 60, 2);
  prefix += u':';
  AppendNumber(prefix, day_ms / 1000 % 60, 2);
  prefix += u'.';
  AppendNumber(prefix, day_ms % 1000, 3);
  prefix += u" [";
  prefix += t_thread_name != nullptr ? t_thread_name : u"host";
  prefix += u' ';
  AppendNumber(prefix, t_thread_number, 1);
  prefix += u"] ";
  return prefix;
}

void DebugLog::Write(DebugLineOutput& output, const char16_t* format, ...) {
  WideString text;
  va_list args;
  va_start(args, format);
  text.FormatV(format, args);
  va_end(args);
  auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  std::u16string line = LinePrefix(now.count()) + text.ToU16();
  std::u16string path;
  {
    MutexLock hold(&lock_);
    path = path_;
  }
  output.WriteDebugLine(line, path);
}

}  // namespace mobileinfo
