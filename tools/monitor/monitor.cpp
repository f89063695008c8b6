// Sample host: loads mobileinfo through its public header only, prints every event the library
// raises, and runs until interrupted (or for --seconds N).
//
//   monitor [--fresh] [--poll MS] [--seconds N] [--json] [--debug[=FILE]]
//
// Without --poll it forwards the system's device notifications (Linux: udev, Windows: a
// notification window) to OnDeviceChange through mobileinfo_watch. --poll MS looks at the USB
// device list every MS milliseconds instead and forwards a device-change code when it changed
// (fake sysfs trees, machines without device notifications).
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mobileinfo/mobileinfo.h"
#include "mobileinfo/watch.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#endif

namespace {

constexpr long kMaxPollMs = 3600000;        // an hour
constexpr long kMaxSeconds = 365L * 86400;  // a year; keeps the deadline arithmetic in range

// What ends the monitor: Ctrl-C or SIGTERM, the console closing, or the watch ending by itself.
// The main thread sleeps until one of them comes.
class EndSignal {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    changed_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

EndSignal g_end;

#if defined(_WIN32)
std::atomic<bool> g_stopped{false};

// Runs on a thread the system creates for the event. Closing the console ends the process once
// this returns: it waits (within the system's five seconds) for the service to be stopped, so
// that the phone cache is saved.
BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_end.Set();
      return TRUE;
    case CTRL_CLOSE_EVENT:
      g_end.Set();
      for (int i = 0; i < 40 && !g_stopped; ++i) Sleep(100);
      return TRUE;
    default:
      return FALSE;
  }
}

void CatchStopSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
#else
// SIGINT and SIGTERM are blocked before any thread starts, so that every thread inherits the
// mask, and taken by one thread that waits for them.
void CatchStopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::thread([stop_signals] {
    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    g_end.Set();
  }).detach();
}
#endif

// UTF-16 field text to UTF-8, up to the terminator or the capacity. A lone surrogate (the
// library copies host and device texts as they come) becomes U+FFFD, so that the output is
// always valid UTF-8 and valid JSON.
std::string ToUtf8(const char16_t* text, size_t capacity) {
  std::string out;
  for (size_t i = 0; i < capacity && text[i]; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < capacity && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

template <size_t N>
std::string Field(const char16_t (&field)[N]) {
  return ToUtf8(field, N);
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// Device texts come from the USB device; a control character must not break the line.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  return out;
}

const char* Meaning(int32_t code) {
  switch (code) {
    case kPhoneReady: return "phone ready";
    case kDeviceRemoved: return "device removed";
    case kArrivalReportBegins: return "arrival report begins";
    case kNoPhoneLeft: return "no phone left";
    default: return "unknown event";
  }
}

const char* AdbWords(uint32_t status) {
  switch (status) {
    case 0: return "no ADB";
    case 1: return "ADB registered";
    case 2: return "ADB active";
    default: return "ADB status unknown";
  }
}

// Local wall-clock time with milliseconds: "14:03:07.251", or ISO 8601 for JSON.
std::string Stamp(bool iso) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  char text[48] = "";
  if (const std::tm* local = std::localtime(&seconds)) {
    std::strftime(text, sizeof text, iso ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", local);
  }
  char with_millis[64];
  std::snprintf(with_millis, sizeof with_millis, "%s.%03ld", text, millis);
  return with_millis;
}

// Called from the library's two worker threads, possibly at once: one line per event. The record
// is the library's temporary copy, read during the call only.
class PrintingSink : public IPelmoInfoSink {
 public:
  explicit PrintingSink(bool json) : json_(json) {}

  int32_t OnEvent(int32_t code, PhoneRecord* record) override {
    std::lock_guard<std::mutex> lock(mutex_);  // also guards localtime's shared buffer
    std::string line = json_ ? JsonLine(code, record) : TextLine(code, record);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return 0;
  }

 private:
  static std::string TextLine(int32_t code, const PhoneRecord* record) {
    char head[64];
    std::snprintf(head, sizeof head, "%s  event %d  %-21s", Stamp(false).c_str(),
                  static_cast<int>(code), Meaning(code));
    std::string line = head;
    if (record) {
      std::string name = Printable(Field(record->name));
      line += "  " + (name.empty() ? std::string("(unknown model)") : name) + "  serial " +
              Printable(Field(record->serial)) + "  " + Printable(Field(record->device_key)) +
              "  " + AdbWords(record->adb_status);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line + "\n";
  }

  static std::string JsonLine(int32_t code, const PhoneRecord* record) {
    std::string line = "{\"time\":" + JsonString(Stamp(true)) +
                       ",\"code\":" + std::to_string(code) +
                       ",\"event\":" + JsonString(Meaning(code));
    if (record) {
      line += ",\"device_key\":" + JsonString(Field(record->device_key)) +
              ",\"serial\":" + JsonString(Field(record->serial)) +
              ",\"name\":" + JsonString(Field(record->name)) +
              ",\"description\":" + JsonString(Field(record->description)) +
              ",\"adb\":" + std::to_string(record->adb_status);
    }
    return line + "}\n";
  }

  const bool json_;
  std::mutex mutex_;
};

const char kUsage[] =
    "usage: monitor [--fresh] [--poll MS] [--seconds N] [--json] [--debug[=FILE]]\n"
    "  --fresh      forget the last device snapshot (MobileInfo2.dat): every device is new\n"
    "  --poll MS    look at the USB device list every MS ms instead of waiting for\n"
    "               system device notifications (used for fake sysfs trees)\n"
    "  --seconds N  stop by itself after N seconds (default: run until Ctrl-C)\n"
    "  --json       one JSON object per event on standard output\n"
    "  --debug      the library's diagnostics (MOBILEINFO_DEBUG=1): one line per decision on\n"
    "               standard error (Windows: the debugger output, as DebugView shows it)\n"
    "  --debug=FILE the same lines, appended to FILE\n"
    "The data files are written beside this executable. On Linux MOBILEINFO_SYSFS_ROOT names a\n"
    "directory laid out like /sys to watch instead; it is polled every 1000 ms unless --poll.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "monitor: %s (see --help)\n", message.c_str());
  return 2;
}

bool SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  // The library reads the variable with GetEnvironmentVariableW, from this block.
  return SetEnvironmentVariableA(name, value.c_str()) != 0;
#else
  return setenv(name, value.c_str(), 1) == 0;
#endif
}

bool ParseCount(const char* text, long maximum, long& value) {
  if (*text < '0' || *text > '9') return false;  // strtol would take blanks and signs
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < 1 || parsed > maximum) return false;
  value = parsed;
  return true;
}

// The fake tree named by MOBILEINFO_SYSFS_ROOT must be there before anything starts: a library
// reading a missing tree sees an empty bus and would report every known device as removed.
bool CheckSysfsRoot(std::string& error) {
#if !defined(_WIN32)
  const char* root = std::getenv("MOBILEINFO_SYSFS_ROOT");
  if (!root || !*root) return true;
  DIR* directory = opendir(root);
  if (!directory) {
    error = std::string("MOBILEINFO_SYSFS_ROOT=") + root + " is not a readable directory: " +
            std::strerror(errno);
    return false;
  }
  closedir(directory);
#else
  (void)error;
#endif
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int fresh = 0;
  bool json = false;
  mobileinfo::WatchOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--fresh") {
      fresh = 1;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--debug" || arg.rfind("--debug=", 0) == 0) {
      const std::string value = arg == "--debug" ? "1" : arg.substr(8);
      if (value.empty() || value == "0") return Fail("--debug= needs a file name");
      // The library reads the switch at Init, below.
      if (!SetEnvironment("MOBILEINFO_DEBUG", value)) return Fail("cannot set MOBILEINFO_DEBUG");
    } else if (arg == "--poll" || arg == "--seconds") {
      if (i + 1 >= argc) return Fail("option " + arg + " needs a value");
      const bool poll = arg == "--poll";
      const long maximum = poll ? kMaxPollMs : kMaxSeconds;
      if (!ParseCount(argv[++i], maximum, poll ? options.poll_ms : options.seconds)) {
        return Fail("bad value " + std::string(argv[i]) + " for " + arg + " (expected 1 to " +
                    std::to_string(maximum) + ")");
      }
    } else {
      return Fail("unknown option " + arg);
    }
  }
  std::string error;
  if (!CheckSysfsRoot(error)) {
    std::fprintf(stderr, "monitor: %s\n", error.c_str());
    return 1;
  }

  CatchStopSignals();

  IPelmoInfo* service = CreatePelmoInfo(0, 0);
  if (!service) {
    std::fprintf(stderr, "monitor: the library did not create its service object\n");
    return 1;
  }
  // Stop waits at most a second for each worker thread; one held up in a download may still
  // report afterwards, so the sink lives as long as the process.
  static PrintingSink sink(json);
  if (!service->Init(&sink, fresh) || !service->Start()) {
    std::fprintf(stderr, "monitor: the service did not start\n");
    service->Stop();
    service->Release();
    return 1;
  }
  options.ended = [] { g_end.Set(); };
  std::unique_ptr<mobileinfo::DeviceWatch> watch =
      mobileinfo::DeviceWatch::Start(service, options, &error);
  if (!watch) {
    std::fprintf(stderr, "monitor: %s\n", error.c_str());
    service->Stop();
    service->Release();
    return 1;
  }
  if (!watch->notice().empty()) std::fprintf(stderr, "monitor: %s\n", watch->notice().c_str());
  // Status lines go to standard error in JSON mode, so that standard output stays one object
  // per line.
  std::FILE* status_out = json ? stderr : stdout;
  std::fprintf(status_out, "monitoring USB devices; Ctrl-C stops\n");
  std::fflush(status_out);

  // Until Ctrl-C, the time limit, or (Windows) WM_CLOSE sent to the watch window.
  g_end.Wait();
  int status = watch->Stop();
  if (status) std::fprintf(stderr, "monitor: %s\n", watch->error().c_str());
  service->Stop();
  service->Release();
#if defined(_WIN32)
  g_stopped = true;
#endif
  std::fprintf(status_out, "stopped\n");
  std::fflush(status_out);
  return status;
}
