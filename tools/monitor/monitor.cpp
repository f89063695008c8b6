// Sample host: loads mobileinfo through its public header only, prints every event the library
// raises, and runs until interrupted (or for --seconds N).
//
//   monitor [--fresh] [--poll MS] [--seconds N]
//
// --poll MS  looks at the USB device list every MS milliseconds and forwards a device-change code
//            when it changed (for fake sysfs trees and machines without device notifications).
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "mobileinfo/mobileinfo.h"
#include "watch.h"


namespace {

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted = true; }

std::string ToUtf8(const char16_t* text, size_t capacity) {
  std::string out;
  for (size_t i = 0; i < capacity && text[i]; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < capacity && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
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

const char* Meaning(int32_t code) {
  switch (code) {
    case kPhoneReady: return "phone ready";
    case kDeviceRemoved: return "device removed";
    case kArrivalReportBegins: return "arrival report begins";
    case kNoPhoneLeft: return "no phone left";
    default: return "unknown event";
  }
}

// Called from the library's two worker threads, possibly at once: one line per event.
class PrintingSink : public IPelmoInfoSink {
 public:
  int32_t OnEvent(int32_t code, PhoneRecord* record) override {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
    std::string line = std::string(stamp) + " " + std::to_string(code) + " " + Meaning(code);
    if (record) {
      line += " key=" + ToUtf8(record->device_key, 32) + " serial=" +
              ToUtf8(record->serial, 512) + " name=\"" + ToUtf8(record->name, 32) +
              "\" adb=" + std::to_string(record->adb_status);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return 0;
  }

 private:
  std::mutex mutex_;
};

int Usage(const char* message) {
  std::fprintf(stderr, "monitor: %s\nusage: monitor [--fresh] [--poll MS] [--seconds N]\n",
               message);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int fresh = 0;
  long poll_ms = 0;
  long seconds = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--fresh") {
      fresh = 1;
    } else if ((arg == "--poll" || arg == "--seconds") && i + 1 < argc) {
      char* end = nullptr;
      long value = std::strtol(argv[++i], &end, 10);
      if (!end || *end || value <= 0) return Usage(("bad value for " + arg).c_str());
      (arg == "--poll" ? poll_ms : seconds) = value;
    } else {
      return Usage(("unknown option " + arg).c_str());
    }
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  IPelmoInfo* service = CreatePelmoInfo(0, 0);
  if (!service) {
    std::fprintf(stderr, "monitor: cannot create the service\n");
    return 1;
  }
  PrintingSink sink;
  if (!service->Init(&sink, fresh) || !service->Start()) {
    std::fprintf(stderr, "monitor: the service did not start\n");
    service->Stop();
    service->Release();
    return 1;
  }
  std::printf("monitoring USB devices; Ctrl-C stops\n");
  std::fflush(stdout);

  WatchOptions options;
  options.poll_ms = poll_ms;
  options.seconds = seconds;
  std::string error;
  int status = WatchDevices(service, options, g_interrupted, error);
  if (status) std::fprintf(stderr, "monitor: %s\n", error.c_str());
  service->Stop();
  service->Release();
  std::printf("stopped\n");
  return status;
}
