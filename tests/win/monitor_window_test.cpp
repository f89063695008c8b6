// The Windows notification path under Wine: WM_DEVICECHANGE delivered to mobileinfo_watch's
// message-only window reaches OnDeviceChange, and, with the real monitor.exe (which uses it) and
// the library, a device node taken out of the registry ends in the monitor's printed events.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mobileinfo/watch.h"
#include "recording_service.h"
#include "registry_devices.h"

namespace {

using Clock = std::chrono::steady_clock;
using mobileinfo::DeviceWatch;
using mobileinfo::RecordingService;
using mobileinfo::WatchOptions;
using mobileinfo::testing::ScopedUsbDevice;

constexpr const wchar_t* kMonitorWindowClass = mobileinfo::kWatchWindowClass;
constexpr GUID kUsbDeviceInterfaceClass = {0xa5dcbf10, 0x6530, 0x11d2,
                                           {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
  const Clock::time_point end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= end) return false;
    Sleep(20);
  }
  return true;
}

// The monitor window owned by the given process, if there is one.
HWND FindMonitorWindow(DWORD process_id) {
  HWND window = nullptr;
  while ((window = FindWindowExW(HWND_MESSAGE, window, kMonitorWindowClass, nullptr))) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == process_id) return window;
  }
  return nullptr;
}

// The watch on a thread of its own, as the monitor runs it.
class InProcessWatch {
 public:
  explicit InProcessWatch(WatchOptions options)
      : watch_(DeviceWatch::Start(&service_, options, &error_)) {}

  // Start returns with the window listening.
  HWND WaitForWindow() {
    return watch_ ? FindMonitorWindow(GetCurrentProcessId()) : nullptr;
  }
  // The watch's return value once it ended by itself, or nullopt when it did not end within the
  // limit.
  std::optional<int> WaitForEnd(std::chrono::milliseconds limit) {
    if (!watch_ || !WaitFor([&] { return watch_->Finished(); }, limit)) return std::nullopt;
    return watch_->Stop();
  }
  // What the monitor does on Ctrl-C: ends the watch and waits for it.
  std::optional<int> Stop() {
    if (!watch_) return std::nullopt;
    return watch_->Stop();
  }

  RecordingService& service() { return service_; }
  const std::string& error() const { return error_; }

 private:
  RecordingService service_;
  std::string error_;
  std::unique_ptr<DeviceWatch> watch_;  // ended before the service goes
};

DEV_BROADCAST_DEVICEINTERFACE_W UsbInterfaceBroadcast() {
  DEV_BROADCAST_DEVICEINTERFACE_W broadcast = {};
  broadcast.dbcc_size = sizeof(broadcast);
  broadcast.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  broadcast.dbcc_classguid = kUsbDeviceInterfaceClass;
  return broadcast;
}

TEST(MonitorWindow, ForwardsEveryDeviceChangeCodeToTheService) {
  InProcessWatch watch(WatchOptions{});
  HWND window = watch.WaitForWindow();
  ASSERT_NE(window, nullptr) << watch.error();

  // As the device manager delivers an interface arrival to a registered window: sent, with the
  // broadcast record as lParam.
  DEV_BROADCAST_DEVICEINTERFACE_W arrival = UsbInterfaceBroadcast();
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&arrival));
  DEV_BROADCAST_DEVICEINTERFACE_W removal = UsbInterfaceBroadcast();
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
               reinterpret_cast<LPARAM>(&removal));
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  // A code the library ignores still reaches it: filtering is the library's decision. A query
  // to remove is granted, since a monitor holds no device open.
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                         reinterpret_cast<LPARAM>(&removal)),
            TRUE);

  const auto calls = watch.service().Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].first, 0x8000u);
  EXPECT_EQ(calls[0].second, static_cast<int32_t>(reinterpret_cast<LPARAM>(&arrival)));
  EXPECT_EQ(calls[1].first, 0x8004u);
  EXPECT_EQ(calls[2], std::make_pair(uint32_t{0x0007}, int32_t{0}));
  EXPECT_EQ(calls[3].first, 0x8001u);

  EXPECT_EQ(watch.Stop(), 0);
  EXPECT_FALSE(IsWindow(window));
}

TEST(MonitorWindow, EndsCleanlyOnStopFlagOrClose) {
  {
    InProcessWatch watch(WatchOptions{});
    HWND window = watch.WaitForWindow();
    ASSERT_NE(window, nullptr) << watch.error();
    EXPECT_EQ(watch.Stop(), 0);  // what the monitor does on Ctrl-C
    EXPECT_FALSE(IsWindow(window));
    // Without polling and without device changes the service hears nothing.
    EXPECT_TRUE(watch.service().Calls().empty());
  }
  {
    InProcessWatch watch(WatchOptions{});
    HWND window = watch.WaitForWindow();
    ASSERT_NE(window, nullptr) << watch.error();
    // How another program (or the test of the real monitor) asks it to stop.
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(watch.WaitForEnd(std::chrono::seconds(20)), 0);
    EXPECT_FALSE(IsWindow(window));
  }
  {
    // A stop requested before the window exists is not lost (the form that runs on the
    // caller's thread).
    RecordingService service;
    std::atomic<bool> stop{true};
    std::string error;
    std::future<int> result = std::async(std::launch::async, [&] {
      return mobileinfo::WatchDevices(&service, WatchOptions{}, stop, error);
    });
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0) << error;
  }
}

TEST(MonitorWindow, EndsByItselfWhenTheTimeIsUp) {
  WatchOptions options;
  options.seconds = 1;
  const Clock::time_point started = Clock::now();
  InProcessWatch watch(options);
  std::optional<int> result = watch.WaitForEnd(std::chrono::seconds(30));
  ASSERT_TRUE(result.has_value()) << "still watching long after its second";
  EXPECT_EQ(*result, 0);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(900));
}

TEST(MonitorWindow, PollingForwardsDevNodesChangedEachPeriod) {
  WatchOptions options;
  options.poll_ms = 50;
  InProcessWatch watch(options);
  ASSERT_NE(watch.WaitForWindow(), nullptr) << watch.error();
  EXPECT_TRUE(WaitFor([&] { return watch.service().CountOf(0x0007) >= 3; },
                      std::chrono::seconds(20)));
  for (const auto& call : watch.service().Calls()) {
    EXPECT_EQ(call, std::make_pair(uint32_t{0x0007}, int32_t{0}));
  }
}

// --- the real monitor.exe ---------------------------------------------------------------------

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  size_t slash = text.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : text.substr(0, slash);
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWholeFile(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                            FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  CloseHandle(file);
  return bytes;
}

std::string Utf16Bytes(const std::wstring& text) {
  std::string bytes;
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

// The files the library keeps beside the host; the monitor's host directory is this one.
class HostFiles {
 public:
  explicit HostFiles(std::wstring directory) : directory_(std::move(directory)) { Clean(); }
  ~HostFiles() { Clean(); }
  std::wstring Path(const wchar_t* name) const { return directory_ + L"\\" + name; }

 private:
  void Clean() {
    DeleteFileW(Path(L"MobileInfo1.dat").c_str());
    DeleteFileW(Path(L"MobileInfo2.dat").c_str());
  }
  std::wstring directory_;
};

// A child process with its stdout and stderr collected by a reader thread.
class ChildProcess {
 public:
  bool Start(const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end_, &write_end, &inheritable, 0)) return false;
    SetHandleInformation(read_end_, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    std::wstring command = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
    CloseHandle(write_end);  // only the child writes now, so its exit ends the pipe
    if (!started) return false;
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    process_id_ = process.dwProcessId;
    reader_ = std::thread([this] {
      char buffer[512];
      DWORD read = 0;
      while (ReadFile(read_end_, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buffer, read);
      }
    });
    return true;
  }

  ~ChildProcess() {
    if (process_) {
      if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
      WaitForSingleObject(process_, 10000);
    }
    if (reader_.joinable()) reader_.join();
    if (read_end_) CloseHandle(read_end_);
    if (process_) CloseHandle(process_);
  }

  std::string Output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }
  // Whether one line of the output holds all the parts.
  bool PrintedLineWith(std::initializer_list<const char*> parts) {
    const std::string output = Output();
    size_t begin = 0;
    while (begin < output.size()) {
      size_t end = output.find('\n', begin);
      if (end == std::string::npos) end = output.size();
      const std::string line = output.substr(begin, end - begin);
      bool all = true;
      for (const char* part : parts) all = all && line.find(part) != std::string::npos;
      if (all) return true;
      begin = end + 1;
    }
    return false;
  }
  DWORD id() const { return process_id_; }

  // The exit code, or nullopt while it still runs after the limit.
  std::optional<DWORD> WaitForExit(DWORD limit_ms) {
    if (WaitForSingleObject(process_, limit_ms) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    if (reader_.joinable()) reader_.join();  // the rest of the output
    return code;
  }

 private:
  HANDLE read_end_ = nullptr;
  HANDLE process_ = nullptr;
  DWORD process_id_ = 0;
  std::thread reader_;
  std::mutex mutex_;
  std::string output_;
};

TEST(MonitorProgram, PrintsTheRemovalOfADeviceNodeDeliveredToItsWindow) {
  const std::wstring directory = ProgramDirectory();
  const std::wstring program = directory + L"\\monitor.exe";
  if (!FileExists(program)) GTEST_SKIP() << "monitor.exe is not built beside this program";
  HostFiles files(directory);

  // Present when the monitor starts: its first scan lists it (identification fails without the
  // web service, so the arrival prints nothing); taking it away afterwards is a removal, which
  // the library reports for any device.
  const std::wstring instance_id = L"USB\\VID_2468&PID_1357\\MONWIN0001";
  std::optional<ScopedUsbDevice> device;
  device.emplace(instance_id, L"Monitor Test Device");
  ASSERT_TRUE(device->ok());

  ChildProcess monitor;
  ASSERT_TRUE(monitor.Start(program, L"--seconds 120")) << "CreateProcessW: " << GetLastError();
  HWND window = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (window = FindMonitorWindow(monitor.id())) != nullptr; },
                      std::chrono::seconds(60)))
      << "no monitor window; output:\n" << monitor.Output();

  // The first scan is complete once the device snapshot lists the node.
  const std::string serial_bytes = Utf16Bytes(L"MONWIN0001");
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadWholeFile(files.Path(L"MobileInfo2.dat")).find(serial_bytes) !=
               std::string::npos;
      },
      std::chrono::seconds(60)))
      << "the first scan did not list the device; output:\n" << monitor.Output();

  device.reset();
  // Delivered as the device manager does: sent, with the interface broadcast as lParam, which
  // the system copies into the receiving process.
  DEV_BROADCAST_DEVICEINTERFACE_W removal = UsbInterfaceBroadcast();
  DWORD_PTR answer = 0;
  ASSERT_NE(SendMessageTimeoutW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                                reinterpret_cast<LPARAM>(&removal), SMTO_ABORTIFHUNG, 10000,
                                &answer),
            0)
      << "WM_DEVICECHANGE not delivered: " << GetLastError();

  // Matched by its parts, not by layout: the event's meaning, the device key and the serial.
  EXPECT_TRUE(WaitFor([&] { return monitor.PrintedLineWith({"device removed", "VID_2468&PID_1357",
                                                            "MONWIN0001"}); },
                      std::chrono::seconds(60)))
      << "output:\n" << monitor.Output();

  // WM_CLOSE stops it the clean way: the service stopped and released, exit code 0.
  PostMessageW(window, WM_CLOSE, 0, 0);
  std::optional<DWORD> code = monitor.WaitForExit(60000);
  ASSERT_TRUE(code.has_value()) << "monitor.exe did not end; output:\n" << monitor.Output();
  EXPECT_EQ(*code, 0u) << monitor.Output();
}

}  // namespace
