// The whole road of a phone through the built library, as a host sees it: devices appear on the
// platform's bus, the host forwards device-change codes, the library asks the test service at
// its built-in address (MOBILEINFO_SERVICE_URL, http://127.0.0.1:8780 by default), reports to
// the host's sink, and keeps what it learnt in MobileInfo1.dat and MobileInfo2.dat beside the
// program. Only the public header and the built library are used.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_models.h"
#include "eventually.h"
#include "mobileinfo/mobileinfo.h"
#include "record_expect.h"
#include "test_service.h"
#include "whole_road_bus.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace mobileinfo::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceRemoval = 0x8004;
constexpr milliseconds kEventWait{15000};

struct Event {
  int32_t code = 0;
  bool has_record = false;
  PhoneRecord record{};
  Clock::time_point when;
};

class Sink : public IPelmoInfoSink {
 public:
  int32_t OnEvent(int32_t code, PhoneRecord* record) override {
    Event event;
    event.code = code;
    event.when = Clock::now();
    if (record) {
      event.has_record = true;
      event.record = *record;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
    return 0;
  }

  bool WaitFor(size_t count, milliseconds timeout = kEventWait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
  }

  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  std::vector<int32_t> codes() {
    std::vector<int32_t> out;
    for (const Event& e : events()) out.push_back(e.code);
    return out;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Header(uint32_t record_size) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((record_size >> (8 * i)) & 0xFF);
  return bytes;
}

std::string Bytes(const void* data, size_t size) {
  return std::string(static_cast<const char*>(data), size);
}

// A record of MobileInfo2.dat: storage kind, device key, serial.
std::string DeviceRecordBytes(int32_t storage_kind, const std::u16string& key,
                              const std::u16string& serial) {
  struct {
    int32_t storage_kind;
    char16_t device_key[32];
    char16_t serial[512];
  } record;
  static_assert(sizeof(record) == 1092, "USB device record size");
  std::memset(&record, 0, sizeof record);
  record.storage_kind = storage_kind;
  PutField(record.device_key, key);
  PutField(record.serial, serial);
  return Bytes(&record, sizeof record);
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

int32_t Now() { return static_cast<int32_t>(std::time(nullptr)); }

// Sets the host's MOBILEINFO_DEBUG for as long as it lives (the library reads it at Init).
class DebugSwitch {
 public:
  explicit DebugSwitch(const std::string& value) { Set(value.c_str()); }
  ~DebugSwitch() { Set(nullptr); }
  DebugSwitch(const DebugSwitch&) = delete;
  DebugSwitch& operator=(const DebugSwitch&) = delete;

 private:
  static void Set(const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA("MOBILEINFO_DEBUG", value);
#else
    if (value) {
      setenv("MOBILEINFO_DEBUG", value, 1);
    } else {
      unsetenv("MOBILEINFO_DEBUG");
    }
#endif
  }
};

class WholeRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kBuiltInServicePort == 0) {
      GTEST_SKIP() << "the library's built-in service address (MOBILEINFO_SERVICE_URL) is not "
                      "on 127.0.0.1, where the test service runs";
    }
    control_ = RequireSharedService(kBuiltInServicePort);
    if (!control_) return;
    ASSERT_TRUE(control_->SetMode("normal"));
    ASSERT_TRUE(control_->ClearLog());
    RemoveDataFiles();
    bus_ = TestBus::Create();
    bus_->Attach();
  }

  void TearDown() override {
    StopLibrary();
    bus_.reset();
    RemoveDataFiles();
  }

  static std::filesystem::path PhoneCachePath() { return HostDirectory() / "MobileInfo1.dat"; }
  static std::filesystem::path SnapshotPath() { return HostDirectory() / "MobileInfo2.dat"; }

  static void RemoveDataFiles() {
    std::error_code ignored;
    std::filesystem::remove(PhoneCachePath(), ignored);
    std::filesystem::remove(SnapshotPath(), ignored);
  }

  void StartLibrary(Sink& sink, int32_t fresh_start) {
    library_ = CreatePelmoInfo(0, 0);
    ASSERT_NE(library_, nullptr);
    ASSERT_EQ(library_->Init(&sink, fresh_start), 1);
    ASSERT_EQ(library_->Start(), 1);
  }

  void StopLibrary() {
    if (!library_) return;
    library_->Stop();
    library_->Release();
    library_ = nullptr;
  }

  // Waits until the library has taken its first look at the bus, which writes MobileInfo2.dat:
  // a device plugged in after that arrives whole in the scan the host's code asks for, never
  // half-written in the first one.
  void WaitForFirstScan() {
    const auto deadline = Clock::now() + kEventWait;
    while (!std::filesystem::exists(SnapshotPath()) && Clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(20));
    }
    ASSERT_TRUE(std::filesystem::exists(SnapshotPath())) << "no scan wrote MobileInfo2.dat";
  }

  // The host's window saw a device come or go.
  void Forward(uint32_t code) { library_->OnDeviceChange(code, 0); }

  // The single getDriver request the service logged for driver_id, with any OS code. Every machine
  // these tests run on is a 64-bit system, so the bitness code is 2 for each build, the 32-bit
  // DLL in a WoW64 process included.
  void ExpectOneGetDriver(const std::string& driver_id) {
    std::vector<std::string> log = control_->Log();
    ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
    EXPECT_TRUE(std::regex_match(
        log[0], std::regex("GET /intf/getDriver\\?os=[0-9]+&bit=2&id=" + driver_id)))
        << log[0];
  }

  const ServiceControl* control_ = nullptr;
  std::unique_ptr<TestBus> bus_;
  IPelmoInfo* library_ = nullptr;
};

TEST_F(WholeRoadTest, AndroidPhoneIsIdentifiedReportedCachedAndReportedGone) {
  const std::string serial = "NIMBUS0001";
  Sink sink;
  StartLibrary(sink, 0);
  WaitForFirstScan();
  const int32_t before = Now();
  ASSERT_TRUE(bus_->PlugAdbPhone("18d1", "4f3a", serial));
  Forward(kDeviceArrival);
  ASSERT_TRUE(sink.WaitFor(2)) << ::testing::PrintToString(sink.codes());
  const int32_t after = Now();

  // The arrival report begins, then ends with the phone whose ADB interface is up.
  std::vector<Event> events = sink.events();
  ASSERT_EQ(sink.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
  EXPECT_FALSE(events[0].has_record);
  ASSERT_TRUE(events[1].has_record);
  const PhoneRecord& ready = events[1].record;
  EXPECT_GE(ready.time_stamp, before);
  EXPECT_LE(ready.time_stamp, after);
  PhoneRecord expected = ExpectedRecord(kNimbus5, Wide(serial), ready.time_stamp);
  expected.adb_status = 2;
  ExpectSameRecord(ready, expected);
  ExpectOneGetDriver("18d1_4f3a");

  // The phone cache holds the identified record (ADB status is not persisted), the snapshot the
  // one USB device present.
  expected.adb_status = 0;
  EXPECT_TRUE(ReadBytes(PhoneCachePath()) == Header(15296) + Bytes(&expected, sizeof expected))
      << "MobileInfo1.dat differs";
  EXPECT_TRUE(ReadBytes(SnapshotPath()) ==
              Header(1092) + DeviceRecordBytes(0, kNimbus5.device_key, Wide(serial)))
      << "MobileInfo2.dat differs";

  bus_->Unplug(serial);
  Forward(kDeviceRemoval);
  ASSERT_TRUE(sink.WaitFor(3)) << ::testing::PrintToString(sink.codes());
  events = sink.events();
  EXPECT_EQ(events[2].code, kDeviceRemoved);
  ASSERT_TRUE(events[2].has_record);
  // The departed phone comes with the record the library knows it by.
  ExpectSameRecord(events[2].record, expected);
  // An empty bus leaves an empty snapshot, saved when the cycle that reported the removal ends.
  EXPECT_TRUE(Eventually([&] { return ReadBytes(SnapshotPath()).empty(); }))
      << "MobileInfo2.dat still lists the phone";
  EXPECT_EQ(control_->Log().size(), 1u) << "no further request";
}

TEST_F(WholeRoadTest, RestartRecognisesThePhoneFromTheCacheWithoutAsking) {
  const std::string serial = "NIMBUS0002";
  {
    Sink sink;
    StartLibrary(sink, 0);
    WaitForFirstScan();
    ASSERT_TRUE(bus_->PlugAdbPhone("18d1", "4f3a", serial));
    Forward(kDeviceArrival);
    ASSERT_TRUE(sink.WaitFor(2)) << ::testing::PrintToString(sink.codes());
    ExpectOneGetDriver("18d1_4f3a");
    StopLibrary();
  }
  const std::string cache_before_restart = ReadBytes(PhoneCachePath());
  ASSERT_EQ(cache_before_restart.size(), 4u + 15296u);
  ASSERT_TRUE(control_->ClearLog());

  // The host restarts while the phone stays plugged in: the snapshot knows it, nothing arrives.
  Sink sink;
  StartLibrary(sink, 0);
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_TRUE(sink.codes().empty()) << ::testing::PrintToString(sink.codes());

  // Unplugged and plugged in again: known from the cache, published without a request.
  bus_->Unplug(serial);
  Forward(kDeviceRemoval);
  ASSERT_TRUE(sink.WaitFor(1));
  ASSERT_TRUE(bus_->PlugAdbPhone("18d1", "4f3a", serial));
  Forward(kDeviceArrival);
  ASSERT_TRUE(sink.WaitFor(3)) << ::testing::PrintToString(sink.codes());
  std::vector<Event> events = sink.events();
  ASSERT_EQ(sink.codes(),
            (std::vector<int32_t>{kDeviceRemoved, kArrivalReportBegins, kPhoneReady}));
  PhoneRecord cached;
  std::memcpy(&cached, cache_before_restart.data() + 4, sizeof cached);
  ExpectSameRecord(events[0].record, cached);
  PhoneRecord ready = cached;
  ready.adb_status = 2;
  ExpectSameRecord(events[2].record, ready);
  EXPECT_TRUE(control_->Log().empty()) << ::testing::PrintToString(control_->Log());
  // The cache is rewritten with the same knowledge.
  EXPECT_TRUE(ReadBytes(PhoneCachePath()) == cache_before_restart);
}

TEST_F(WholeRoadTest, OnlyPhoneLeavingWithinTheGracePeriodEndsTheReportWithNoPhone) {
  const std::string serial = "LUMO0001";
  Sink sink;
  StartLibrary(sink, 0);
  WaitForFirstScan();
  ASSERT_TRUE(bus_->PlugPlainPhone("22b8", "2e7c", serial));
  Forward(kDeviceArrival);
  ASSERT_TRUE(sink.WaitFor(1));
  // No ADB interface: the report waits out the grace period, and the phone leaves meanwhile.
  bus_->Unplug(serial);
  Forward(kDeviceRemoval);
  ASSERT_TRUE(sink.WaitFor(2)) << ::testing::PrintToString(sink.codes());
  std::vector<Event> events = sink.events();
  // While the report is pending the departure is not reported on its own.
  EXPECT_EQ(sink.codes(), (std::vector<int32_t>{kArrivalReportBegins, kNoPhoneLeft}));
  EXPECT_FALSE(events[1].has_record);
  // The grace period is 3 s; allow for a slow start of the notification thread.
  EXPECT_GE(events[1].when - events[0].when, milliseconds(2500));
  ExpectOneGetDriver("22b8_2e7c");

  const std::string cache = ReadBytes(PhoneCachePath());
  ASSERT_EQ(cache.size(), 4u + 15296u);
  PhoneRecord stored;
  std::memcpy(&stored, cache.data() + 4, sizeof stored);
  ExpectSameRecord(stored, ExpectedRecord(kLumoFlip, Wide(serial), stored.time_stamp));
}

TEST_F(WholeRoadTest, UnknownModelIsCachedAsNegativeEntryAndNotAskedForAgain) {
  const std::string phone = "NIMBUS0003";
  const std::string unknown = "UNKNOWN0001";
  const std::u16string unknown_key = u"VID_1234&PID_5678";
  const int32_t before = Now();
  const std::filesystem::path debug_path =
      std::filesystem::temp_directory_path() / "mobileinfo-whole-road-debug.log";
  std::filesystem::remove(debug_path);
  {
    // The first session tells what it does; the second, without the switch, writes nothing.
    DebugSwitch debug(debug_path.string());
    Sink sink;
    StartLibrary(sink, 0);
    WaitForFirstScan();
    // Both arrive in one scan: one request names both models, and the reply knows one of them.
    ASSERT_TRUE(bus_->PlugAdbPhone("18d1", "4f3a", phone));
    ASSERT_TRUE(bus_->PlugPlainPhone("1234", "5678", unknown));
    Forward(kDeviceArrival);
    ASSERT_TRUE(sink.WaitFor(2)) << ::testing::PrintToString(sink.codes());
    // The unknown device is no phone: only the Android phone is reported.
    EXPECT_EQ(sink.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
    EXPECT_EQ(GetField(sink.events()[1].record.serial), Wide(phone));
    std::vector<std::string> log = control_->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        log[0], std::regex("GET /intf/getDriver\\?os=[0-9]+&bit=2&id=(18d1_4f3a,1234_5678|"
                           "1234_5678,18d1_4f3a)")))
        << log[0];
    StopLibrary();
  }
  const int32_t after = Now();
  // Full records first, then the negative entry: a zero record with the device key and a stamp.
  const std::string cache = ReadBytes(PhoneCachePath());
  ASSERT_EQ(cache.size(), 4u + 2 * 15296u);
  EXPECT_EQ(cache.substr(0, 4), Header(15296));
  PhoneRecord full, negative;
  std::memcpy(&full, cache.data() + 4, sizeof full);
  std::memcpy(&negative, cache.data() + 4 + 15296, sizeof negative);
  ExpectSameRecord(full, ExpectedRecord(kNimbus5, Wide(phone), full.time_stamp));
  EXPECT_GE(negative.time_stamp, before);
  EXPECT_LE(negative.time_stamp, after);
  PhoneRecord expected;
  std::memset(&expected, 0, sizeof expected);
  PutField(expected.device_key, unknown_key);
  expected.time_stamp = negative.time_stamp;
  ExpectSameRecord(negative, expected);
  ASSERT_TRUE(control_->ClearLog());
  const std::string debug_lines = ReadBytes(debug_path);
  for (const char* decision :
       {"] Init(freshStart 0): 1", "] arrival VID_18d1&PID_4f3a NIMBUS0003: candidate",
        "] getDriver http://127.0.0.1:", "] reply section 18d1_4f3a found: model Nimbus 5",
        "] VID_18d1&PID_4f3a NIMBUS0003: identified",
        "] reply section 1234_5678 missing",
        "] VID_1234&PID_5678 UNKNOWN0001: unknown model, cached as no phone",
        "] arrival report ends (code 1): VID_18d1&PID_4f3a NIMBUS0003",
        "] phone cache saved: 2 records", "] Stop: 1"}) {
    EXPECT_NE(debug_lines.find(decision), std::string::npos) << decision << "\n" << debug_lines;
  }
  EXPECT_TRUE(std::regex_search(debug_lines, std::regex("(^|\n)[0-9]{2}:[0-9]{2}:[0-9]{2}\\."
                                                        "[0-9]{3} \\[scan [0-9]+\\] scan: ")))
      << debug_lines;

  // After a restart the unknown device leaves (reported like any device, with its key and
  // serial only) and comes back: its model is known to be unknown, so the service is not asked
  // again and nothing is published.
  // A cycle that changes the bus saves the snapshot at its end: the test waits for the removal's
  // cycle (the device gone from it) and then for the arrival's (the device back), so that
  // unplugging the phone cannot let a slow scan see a half-removed phone.
  const std::u16string unknown_serial = Wide(unknown);
  const std::string serial_bytes(reinterpret_cast<const char*>(unknown_serial.data()),
                                 unknown_serial.size() * sizeof(char16_t));
  const auto snapshot_lists_unknown = [&] {
    return ReadBytes(SnapshotPath()).find(serial_bytes) != std::string::npos;
  };
  Sink sink;
  StartLibrary(sink, 0);
  bus_->Unplug(unknown);
  Forward(kDeviceRemoval);
  ASSERT_TRUE(sink.WaitFor(1));
  ASSERT_TRUE(Eventually([&] { return !snapshot_lists_unknown(); }));
  ASSERT_TRUE(bus_->PlugPlainPhone("1234", "5678", unknown));
  Forward(kDeviceArrival);
  ASSERT_TRUE(Eventually(snapshot_lists_unknown));
  bus_->Unplug(phone);
  Forward(kDeviceRemoval);
  ASSERT_TRUE(sink.WaitFor(2)) << ::testing::PrintToString(sink.codes());
  std::this_thread::sleep_for(milliseconds(300));
  std::vector<Event> events = sink.events();
  ASSERT_EQ(sink.codes(), (std::vector<int32_t>{kDeviceRemoved, kDeviceRemoved}));
  PhoneRecord departed;
  std::memset(&departed, 0, sizeof departed);
  PutField(departed.device_key, unknown_key);
  PutField(departed.serial, Wide(unknown));
  ExpectSameRecord(events[0].record, departed);
  EXPECT_EQ(GetField(events[1].record.name), kNimbus5.name);
  EXPECT_TRUE(control_->Log().empty()) << ::testing::PrintToString(control_->Log());
  StopLibrary();
  EXPECT_EQ(ReadBytes(debug_path), debug_lines) << "lines were written without the switch";
  std::filesystem::remove(debug_path);
}

}  // namespace
}  // namespace mobileinfo::e2e
