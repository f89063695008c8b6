// The service object's lifecycle: Init's order of steps, Start/Stop with their threads, the
// device-change codes, the small slots, and destruction in every order a host may use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "eventually.h"
#include "fake_platform.h"
#include "test_timings.h"
#include "recording_sink.h"
#include "model/phone_record.h"
#include "service/run.h"
#include "service/service.h"
#include "support/wide_string.h"

namespace mobileinfo {
namespace {

using namespace std::chrono_literals;

ServiceTimings FastTimings() { return TestTimings(10, 200, 300, 200); }

// A worker sits in a getDriver download much longer than Stop waits for it.
ServiceTimings AbandoningTimings() {
  ServiceTimings t = FastTimings();
  t.download_limit_ms = 5000;
  t.stop_wait_ms = 100;
  return t;
}

const char kNimbusReply[] = "[18d1_4ee2]\r\nUID=1\r\nName=Nimbus 5\r\n";
const char16_t kSlowPhone[] = u"USB\\VID_18D1&PID_4EE2\\SLOW1";
const char16_t kCacheFile[] = u"C:\\Host\\MobileInfo1.dat";
const char16_t kSnapshotFile[] = u"C:\\Host\\MobileInfo2.dat";

// The driver service answers every getDriver request with the phone's section after delay_ms.
void DriverService(FakePlatform& fake, uint32_t delay_ms) {
  auto script = fake.Lock();
  script->http = [delay_ms](const std::u16string&) {
    FakeHttpReply reply;
    reply.content_length = U(std::to_string(sizeof(kNimbusReply) - 1));
    reply.body = kNimbusReply;
    reply.delay_ms = delay_ms;
    return reply;
  };
}

bool DownloadStarted(FakePlatform& fake) {
  auto script = fake.Lock();
  return !script->requested_urls.empty();
}

int DeviceListCalls(FakePlatform& fake) {
  auto script = fake.Lock();
  return script->device_list_calls;
}

size_t Requests(FakePlatform& fake) {
  auto script = fake.Lock();
  return script->requested_urls.size();
}

const char16_t kPhoneP[] = u"USB\\VID_18D1&PID_4EE2\\PHONEP";

// A first session on service in which PHONEP is plugged in, identified and announced (codes 3
// and 1).
void SessionWithPhoneP(MobileInfoService& service, FakePlatform& fake, RecordingSink& sink) {
  DriverService(fake, 0);
  fake.AddDevice(kPhoneP);
  ASSERT_EQ(service.Init(&sink, 1), 1);
  ASSERT_EQ(service.Start(), 1);
  ASSERT_TRUE(sink.WaitFor(2));
}

// The same, then the scan thread is sent into a 1 s download for SLOW1 and Stop abandons it there.
void SessionCutShortInADownload(MobileInfoService& service, FakePlatform& fake) {
  RecordingSink sink;
  SessionWithPhoneP(service, fake, sink);
  DriverService(fake, 1000);
  fake.AddDevice(kSlowPhone);
  service.OnDeviceChange(0x8000, 0);
  ASSERT_TRUE(Eventually([&] { return Requests(fake) == 2; }));
  EXPECT_EQ(service.Stop(), 1);
  EXPECT_EQ(sink.size(), 2u);
}

TEST(ServiceLifecycle, StopBeforeInitSucceedsAndWritesNothing) {
  FakePlatform fake;
  MobileInfoService service(fake, FastTimings());
  EXPECT_EQ(service.Stop(), 1);
  EXPECT_TRUE(fake.Lock()->files.empty());
}

TEST(ServiceLifecycle, InitWithInvalidSinkFailsAfterReadingSettings) {
  FakePlatform fake;
  fake.SetFile(u"C:\\Host\\mobileInfo.ini", "[main]\nMobileInfoCacheTimeOut=7\n");
  MobileInfoService service(fake, FastTimings());
  service.CoreForTesting()->store.Exclude(u"old");
  EXPECT_EQ(service.Init(nullptr, 0), 0);
  EXPECT_EQ(service.CoreForTesting()->store.CacheTimeoutForTesting(), 7);
  EXPECT_FALSE(service.CoreForTesting()->store.IsExcludedForTesting(u"old"));
  // The sink check comes before the OS probes and the events.
  EXPECT_EQ(service.CoreForTesting()->identifier.os_code(), 0);
  EXPECT_EQ(service.CoreForTesting()->identifier.bitness_code(), 1);
  EXPECT_EQ(service.RunForTesting(), nullptr);
  EXPECT_EQ(service.Start(), 0);  // nothing to wait on without Init's events
}

TEST(ServiceLifecycle, InitTakesOsAndBitnessCodes) {
  FakePlatform fake;
  RecordingSink sink;
  MobileInfoService service(fake, FastTimings());
  ASSERT_EQ(service.Init(&sink, 1), 1);
  EXPECT_EQ(service.CoreForTesting()->identifier.os_code(), 5);       // Wine reports Windows 7
  EXPECT_EQ(service.CoreForTesting()->identifier.bitness_code(), 2);  // AMD64 native architecture
  EXPECT_NE(service.RunForTesting(), nullptr);
  EXPECT_EQ(service.Stop(), 1);
}

TEST(ServiceLifecycle, StartRunsTheFirstScanAtOnce) {
  FakePlatform fake;
  RecordingSink sink;
  MobileInfoService service(fake, FastTimings());
  ASSERT_EQ(service.Init(&sink, 1), 1);
  ASSERT_EQ(service.Start(), 1);
  EXPECT_TRUE(Eventually([&] { return DeviceListCalls(fake) == 1; }));
  EXPECT_EQ(service.Stop(), 1);
  EXPECT_FALSE((service.RunForTesting() && service.RunForTesting()->Running()));
}

TEST(ServiceLifecycle, OnlyDeviceChangeCodesTriggerAScan) {
  FakePlatform fake;
  RecordingSink sink;
  MobileInfoService service(fake, FastTimings());
  ASSERT_EQ(service.Init(&sink, 1), 1);
  ASSERT_EQ(service.Start(), 1);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls(fake) == 1; }));

  int expected = 1;
  for (uint32_t code : {7u, 0x8000u, 0x8004u}) {
    service.OnDeviceChange(code, -1);
    ++expected;
    EXPECT_TRUE(Eventually([&] { return DeviceListCalls(fake) == expected; })) << code;
  }
  for (uint32_t code : {0u, 0x8001u, 0x8003u, 0x18u}) service.OnDeviceChange(code, 7);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(DeviceListCalls(fake), expected);
  EXPECT_EQ(service.Stop(), 1);
}

TEST(ServiceLifecycle, RescanEventIsAutoResetSoABurstGivesOneMoreCycle) {
  ServiceEvents events;
  for (int i = 0; i < 100; ++i) events.Set(ServiceEvents::kRescan);
  EXPECT_EQ(events.WaitAny({ServiceEvents::kStop, ServiceEvents::kRescan}, 0),
            ServiceEvents::kRescan);
  EXPECT_EQ(events.WaitAny({ServiceEvents::kStop, ServiceEvents::kRescan}, 0),
            ServiceEvents::kTimeout);
  // Manual-reset events stay set until reset, and the first in the list wins.
  events.Set(ServiceEvents::kNotify);
  events.Set(ServiceEvents::kStop);
  EXPECT_EQ(events.WaitAny({ServiceEvents::kStop, ServiceEvents::kNotify}, 0),
            ServiceEvents::kStop);
  EXPECT_EQ(events.WaitAny({ServiceEvents::kNotify}, 0), ServiceEvents::kNotify);
  events.Reset(ServiceEvents::kNotify);
  EXPECT_FALSE(events.IsSet(ServiceEvents::kNotify));
}

TEST(ServiceLifecycle, StopTwiceOnlySavesAgain) {
  FakePlatform fake;
  RecordingSink sink;
  MobileInfoService service(fake, FastTimings());
  ASSERT_EQ(service.Init(&sink, 1), 1);
  ASSERT_EQ(service.Start(), 1);
  EXPECT_EQ(service.Stop(), 1);
  EXPECT_EQ(service.Stop(), 1);
  service.OnDeviceChange(0x8000, 0);  // events are gone: ignored
  EXPECT_EQ(service.RunForTesting(), nullptr);
}

TEST(ServiceLifecycle, SmallSlots) {
  FakePlatform fake;
  MobileInfoService service(fake, FastTimings());
  int32_t slot = 99;
  EXPECT_EQ(service.Reserved5(&slot, 5), &slot);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(service.Reserved5(nullptr, 5), nullptr);
  EXPECT_EQ(service.Reserved7(3), 1);
  EXPECT_EQ(service.Reserved8(3), 0);
  EXPECT_EQ(service.Reserved9(1, 2, 3), 0);
  service.FreeBuffer(nullptr);
  service.FreeBuffer(std::malloc(32));
  EXPECT_EQ(service.QueryPhoneStatus(nullptr), 0);
}

// A sink call in progress when the host calls Stop: Stop returns only once that call has returned,
// so that the host may free its sink as soon as Stop is back.
TEST(ServiceLifecycle, StopReturnsOnlyAfterARunningSinkCallAndReleaseIsSafe) {
  FakePlatform fake;
  fake.AddDevice(u"USB\\VID_18D1&PID_4EE2\\SER1");
  RecordingSink sink;
  sink.Hold(true);
  auto* service = new MobileInfoService(fake, FastTimings());
  ASSERT_EQ(service->Init(&sink, 1), 1);
  service->CoreForTesting()->store.PutPhoneForTesting(u"SER1", PhoneRecord{});  // known phone: published at once
  ASSERT_EQ(service->Start(), 1);
  ASSERT_TRUE(sink.WaitFor(1));  // the scan thread is now inside OnEvent(3)
  std::atomic<bool> stopped{false};
  std::thread host([&] {
    EXPECT_EQ(service->Stop(), 1);
    stopped = true;
  });
  std::this_thread::sleep_for(500ms);  // well past Stop's 200 ms wait for the thread
  EXPECT_FALSE(stopped.load());
  sink.Hold(false);
  host.join();
  EXPECT_EQ(sink.size(), 1u);
  service->Release();
  fake.JoinDetached();
}

TEST(ServiceLifecycle, DestructionWithoutStopEndsRunningThreads) {
  FakePlatform fake;
  RecordingSink sink;
  auto* service = new MobileInfoService(fake, FastTimings());
  ASSERT_EQ(service->Init(&sink, 1), 1);
  ASSERT_EQ(service->Start(), 1);
  service->Release();

  service = new MobileInfoService(fake, FastTimings());
  ASSERT_EQ(service->Init(&sink, 1), 1);
  service->CoreForTesting()->store.PutPhoneForTesting(u"X", PhoneRecord{});
  service->ClearAndDestroy();

  service = new MobileInfoService(fake, FastTimings());
  EXPECT_EQ(service->DeletingDestructor(1), static_cast<void*>(service));
}

TEST(ServiceLifecycle, ExcludeFromCacheTakesOverTheHostsReference) {
  FakePlatform fake;
  RecordingSink sink;
  MobileInfoService service(fake, FastTimings());
  auto make = [](const char16_t* text) {
    WideStringHeader* block =
        static_cast<WideStringHeader*>(std::malloc(sizeof(WideStringHeader) + 2 * 8));
    block->refs = 1;
    block->length = 3;
    block->capacity = 7;
    char16_t* chars = reinterpret_cast<char16_t*>(block + 1);
    std::char_traits<char16_t>::copy(chars, text, 4);
    return MobileInfoWideString{chars};
  };
  service.ExcludeFromCache(make(u"AB1"));  // before Init: lost when Init empties the set
  ASSERT_EQ(service.Init(&sink, 1), 1);
  EXPECT_FALSE(service.CoreForTesting()->store.IsExcludedForTesting(u"AB1"));
  // The serial leaves the file before the call returns, not at some later save.
  service.CoreForTesting()->store.PutPhoneForTesting(u"AB1", MakePhoneRecord(u"VID_04e8&PID_6860", u"AB1"));
  service.CoreForTesting()->store.PutPhoneForTesting(u"AB2", MakePhoneRecord(u"VID_04e8&PID_6860", u"AB2"));
  ASSERT_EQ(service.CoreForTesting()->store.SavePhoneCache(), 1);
  service.ExcludeFromCache(make(u"AB1"));
  EXPECT_EQ(fake.GetFile(u"C:\\Host\\MobileInfo1.dat")->size(), 4 + sizeof(PhoneRecord));
  service.ExcludeFromCache(make(u"AB1"));
  service.ExcludeFromCache(MobileInfoWideString{nullptr});
  EXPECT_TRUE(service.CoreForTesting()->store.IsExcludedForTesting(u"AB1"));
  EXPECT_EQ(service.Stop(), 1);
}

// MobileInfoListPhones: every phone of an arrival report, though code 1 names only one; the list
// follows removals, outlives Stop and is brought up to date by the next session's first scan.
TEST(ServiceLifecycle, ListPhonesNamesEveryPhonePluggedInTogether) {
  FakePlatform fake;
  RecordingSink sink;
  DriverService(fake, 0);
  fake.AddDevice(kPhoneP);
  fake.AddDevice(u"USB\\VID_18D1&PID_4EE2\\PHONEQ");
  auto* service = new MobileInfoService(fake, FastTimings());
  const auto list = [&](int32_t capacity, PhoneRecord* records) {
    return MobileInfoService::ListPhones(service, records, capacity);
  };
  ASSERT_EQ(service->Init(&sink, 1), 1);
  ASSERT_EQ(service->Start(), 1);
  ASSERT_TRUE(sink.WaitFor(2));  // codes 3 and 1, one phone named
  EXPECT_EQ(list(0, nullptr), 2);
  PhoneRecord records[3];
  std::memset(records, 0x55, sizeof records);
  EXPECT_EQ(list(1, records), 2);  // the count, whatever fits
  EXPECT_EQ(FieldText(records[0].serial), u"PHONEP");
  EXPECT_EQ(FieldText(records[0].name), u"Nimbus 5");
  EXPECT_EQ(records[1].adb_status, 0x55555555u);  // beyond capacity: untouched
  EXPECT_EQ(list(3, records), 2);
  EXPECT_EQ(FieldText(records[1].serial), u"PHONEQ");
  EXPECT_EQ(records[2].adb_status, 0x55555555u);
  // Anything but a live service object: nothing read through it, nothing written.
  EXPECT_EQ(MobileInfoService::ListPhones(nullptr, records, 3), 0);
  EXPECT_EQ(MobileInfoService::ListPhones(&sink, records + 2, 1), 0);
  EXPECT_EQ(records[2].adb_status, 0x55555555u);

  fake.RemoveDevice(u"USB\\VID_18D1&PID_4EE2\\PHONEQ");
  service->OnDeviceChange(0x8004, 0);
  ASSERT_TRUE(sink.WaitFor(3));
  EXPECT_EQ(list(3, records), 1);
  EXPECT_EQ(FieldText(records[0].serial), u"PHONEP");

  EXPECT_EQ(service->Stop(), 1);
  EXPECT_EQ(list(0, nullptr), 1);  // a phone that stays plugged in stays listed
  fake.RemoveDevice(kPhoneP);     // unplugged while the host is stopped
  ASSERT_EQ(service->Init(&sink, 1), 1);
  ASSERT_EQ(service->Start(), 1);
  ASSERT_TRUE(sink.WaitFor(4));  // code 2 for it from the first scan
  EXPECT_EQ(list(0, nullptr), 0);
  EXPECT_EQ(service->Stop(), 1);
  service->Release();
  EXPECT_EQ(MobileInfoService::ListPhones(service, records, 3), 0);  // destroyed: no longer one
}

TEST(ServiceLifecycle, ListedCopiesHaveTheirTextsTerminated) {
  FakePlatform fake;
  MobileInfoService service(fake, FastTimings());
  PhoneRecord full;
  std::memset(&full, 0x41, sizeof full);  // every text fills its field, as a foreign cache may
  service.CoreForTesting()->phone_list.AppendIfAbsent(full);
  PhoneRecord copy;
  ASSERT_EQ(MobileInfoService::ListPhones(&service, &copy, 1), 1);
  EXPECT_EQ(copy.serial[511], 0);
  EXPECT_EQ(copy.name[31], 0);
  EXPECT_EQ(copy.parameters[259], 0);
}

// The scan thread is still in its download when Stop gives up on it; when the download ends, the
// thread's work is dropped: no event, no file written.
TEST(ServiceLifecycle, NothingReachesTheSinkOrTheFilesAfterStopWhileADownloadOutlivesItsWait) {
  RecordingSink sink;
  FakePlatform fake;
  DriverService(fake, 1000);
  fake.AddDevice(kSlowPhone);
  auto* service = new MobileInfoService(fake, AbandoningTimings());
  ASSERT_EQ(service->Init(&sink, 1), 1);
  ASSERT_EQ(service->Start(), 1);
  ASSERT_TRUE(Eventually([&] { return DownloadStarted(fake); }));
  EXPECT_EQ(service->Stop(), 1);
  const size_t events_at_stop = sink.size();
  const auto cache = fake.GetFile(kCacheFile);
  const auto snapshot = fake.GetFile(kSnapshotFile);
  fake.JoinDetached();  // the download has ended
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(sink.size(), events_at_stop);
  EXPECT_EQ(fake.GetFile(kCacheFile), cache);
  EXPECT_EQ(fake.GetFile(kSnapshotFile), snapshot);
  service->Release();
  fake.JoinDetached();
}

// Each way a host destroys the object, after Stop or without it, while the scan thread is held in
// a download: the call returns at once and the abandoned thread never calls the sink.
TEST(ServiceLifecycle, DestructionReturnsAtOnceWhileAWorkerIsInADownload) {
  const std::vector<std::pair<const char*, std::function<void(MobileInfoService*)>>> kWays = {
      {"Release", [](MobileInfoService* s) { s->Release(); }},
      {"slot 13", [](MobileInfoService* s) { s->DeletingDestructor(1); }},
      {"ClearAndDestroy", [](MobileInfoService* s) { s->ClearAndDestroy(); }},
  };
  for (bool stop_first : {true, false}) {
    for (const auto& way : kWays) {
      SCOPED_TRACE(std::string(way.first) + (stop_first ? " after Stop" : " without Stop"));
      RecordingSink sink;
      FakePlatform fake;
      DriverService(fake, 1500);
      fake.AddDevice(kSlowPhone);
      auto* service = new MobileInfoService(fake, AbandoningTimings());
      ASSERT_EQ(service->Init(&sink, 1), 1);
      ASSERT_EQ(service->Start(), 1);
      ASSERT_TRUE(Eventually([&] { return DownloadStarted(fake); }));
      if (stop_first) {
        EXPECT_EQ(service->Stop(), 1);
      }
      const auto before = std::chrono::steady_clock::now();
      way.second(service);
      EXPECT_LT(std::chrono::steady_clock::now() - before, 700ms);
      const size_t events_at_destruction = sink.size();
      fake.JoinDetached();
      std::this_thread::sleep_for(100ms);
      EXPECT_EQ(sink.size(), events_at_destruction);
    }
  }
}

// A host that ends the service from inside its sink, on the notification thread, while the scan
// thread is held in a download: the call returns promptly, on that thread, without a deadlock.
TEST(ServiceLifecycle, HostCallsFromInsideOnEventReturnPromptly) {
  const std::vector<std::pair<const char*, std::function<void(MobileInfoService*)>>> kCalls = {
      {"Stop", [](MobileInfoService* s) { s->Stop(); }},
      {"Release", [](MobileInfoService* s) { s->Release(); }},
      {"slot 13", [](MobileInfoService* s) { s->DeletingDestructor(1); }},
      {"ClearAndDestroy", [](MobileInfoService* s) { s->ClearAndDestroy(); }},
  };
  for (const auto& call : kCalls) {
    SCOPED_TRACE(call.first);
    RecordingSink sink;
    FakePlatform fake;
    DriverService(fake, 1500);
    fake.AddDevice(u"USB\\VID_18D1&PID_4EE2\\KNOWN");
    auto* service = new MobileInfoService(fake, AbandoningTimings());
    ASSERT_EQ(service->Init(&sink, 1), 1);
    service->CoreForTesting()->store.PutPhoneForTesting(u"KNOWN", MakePhoneRecord(u"VID_18d1&PID_4ee2", u"KNOWN"));

    std::atomic<bool> returned{false};
    std::atomic<bool> destroyed{false};
    std::atomic<size_t> events_when_returned{0};
    std::chrono::steady_clock::duration took{};
    sink.OnEach([&](int32_t code) {
      if (code != kPhoneReady || returned) return;
      const auto before = std::chrono::steady_clock::now();
      call.second(service);
      took = std::chrono::steady_clock::now() - before;
      events_when_returned = sink.size();
      destroyed = std::string(call.first) != "Stop";
      returned = true;
    });
    ASSERT_EQ(service->Start(), 1);
    ASSERT_TRUE(sink.WaitFor(1));  // code 3: the known phone is listed, the report is pending
    fake.AddDevice(kSlowPhone);
    service->OnDeviceChange(0x8000, 0);  // the scan thread goes into the download
    ASSERT_TRUE(Eventually([&] { return returned.load(); }));
    EXPECT_LT(took, 700ms);
    if (!destroyed) service->Release();
    fake.JoinDetached();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sink.size(), events_when_returned.load());
  }
}

// Init while running is refused and changes nothing: the running threads keep their events, so
// device changes still reach the scan thread and Stop ends both threads within its wait.
TEST(ServiceLifecycle, InitWhileRunningIsRefusedAndTheServiceKeepsWorking) {
  RecordingSink sink;
  RecordingSink other;
  FakePlatform fake;
  DriverService(fake, 0);
  ServiceTimings timings = FastTimings();
  timings.stop_wait_ms = 1000;
  MobileInfoService service(fake, timings);
  ASSERT_EQ(service.Init(&sink, 1), 1);
  ASSERT_EQ(service.Start(), 1);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls(fake) == 1; }));
  EXPECT_EQ(service.Init(&other, 1), 0);

  fake.AddDevice(kSlowPhone);
  service.OnDeviceChange(0x8000, 0);
  ASSERT_TRUE(sink.WaitFor(2, 3s));  // code 3, then code 1 after the grace period
  EXPECT_EQ(sink.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(service.Stop(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 900ms);
  EXPECT_EQ(other.size(), 0u);
  fake.JoinDetached();
}

// Calls outside the host's order (Init, Start, ..., Stop), each row a sequence with the results it must give and
// whether a plugged-in phone is then reported.
TEST(ServiceLifecycle, CallsOutOfOrderGiveBoundedResults) {
  struct Row {
    const char* calls;  // I = Init, S = Start, T = Stop
    std::vector<int32_t> results;
    bool works;
  };
  const Row kRows[] = {
      {"ISS", {1, 1, 1}, true},       // Start twice: one more scan, still one pair of threads
      {"ISTS", {1, 1, 1, 0}, false},  // Start after Stop without Init: no sink to call
      {"ISTT", {1, 1, 1, 1}, false},  // Stop twice
      {"IIS", {1, 1, 1}, true},       // Init twice before Start
      {"ISTIS", {1, 1, 1, 1, 1}, true},  // a second session on the same object
      {"SIS", {0, 1, 1}, true},       // Start before Init
  };
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.calls);
    RecordingSink sink;
    FakePlatform fake;
    DriverService(fake, 0);
    MobileInfoService service(fake, FastTimings());
    std::vector<int32_t> results;
    for (const char* c = row.calls; *c; ++c) {
      if (*c == 'I') results.push_back(service.Init(&sink, 1));
      if (*c == 'S') results.push_back(service.Start());
      if (*c == 'T') results.push_back(service.Stop());
    }
    EXPECT_EQ(results, row.results);
    fake.AddDevice(kSlowPhone);
    service.OnDeviceChange(0x8000, 0);
    if (row.works) {
      EXPECT_TRUE(sink.WaitFor(1, 3s));
      EXPECT_EQ(sink.codes().front(), kArrivalReportBegins);
    } else {
      std::this_thread::sleep_for(100ms);
      EXPECT_EQ(sink.size(), 0u);
    }
    EXPECT_EQ(service.Stop(), 1);
    fake.JoinDetached();
  }
}

// A Start that could start only the notification thread fails; the retried Start starts the scan
// thread it lacks instead of reporting success without one.
TEST(ServiceLifecycle, RetriedStartAfterAFailedThreadStartRunsTheScanThread) {
  RecordingSink sink;
  FakePlatform fake;
  MobileInfoService service(fake, FastTimings());
  ASSERT_EQ(service.Init(&sink, 1), 1);
  fake.Lock()->detached_starts_before_failure = 1;
  EXPECT_EQ(service.Start(), 0);
  EXPECT_EQ(service.Start(), 1);
  EXPECT_TRUE(Eventually([&] { return DeviceListCalls(fake) == 1; }));
  EXPECT_EQ(service.Stop(), 1);
  fake.JoinDetached();
}

// freshStart 0 loads the snapshot into the present-device map; a snapshot that cannot be read
// leaves the devices already known there.
TEST(ServiceLifecycle, InitWithoutFreshStartOnlyLoadsTheSnapshot) {
  RecordingSink sink;
  FakePlatform fake;
  MobileInfoService service(fake, FastTimings());
  UsbDeviceRecord kept{};
  kept.serial[0] = u'K';
  service.CoreForTesting()->tracker.AcknowledgeArrivals({kept});
  ASSERT_EQ(service.Init(&sink, 0), 1);
  EXPECT_EQ(service.CoreForTesting()->tracker.PresentDevicesForTesting().count(u"K"), 1u);
  EXPECT_EQ(service.Stop(), 1);
  ASSERT_EQ(service.Init(&sink, 1), 1);
  EXPECT_TRUE(service.CoreForTesting()->tracker.PresentDevicesForTesting().empty());
  EXPECT_EQ(service.Stop(), 1);
}

// A cycle that Stop cuts short made nothing known that the host was not told of: in the next
// session, on the same object or a new one, the phone whose arrival was dropped is reported, and
// a phone whose removal was dropped raises code 2.
TEST(ServiceLifecycle, ChangesOfACycleCutShortByStopReachTheNextSession) {
  for (bool same_object : {true, false}) {
    for (bool arrival : {true, false}) {
      SCOPED_TRACE(std::string(same_object ? "same object, " : "new object, ") +
                   (arrival ? "arrival" : "removal"));
      FakePlatform fake;
      auto* service = new MobileInfoService(fake, AbandoningTimings());
      SessionCutShortInADownload(*service, fake);  // SLOW1 arrived, unreported
      fake.RemoveDevice(kPhoneP);  // both: its removal is not seen until the next session
      if (!arrival) fake.RemoveDevice(kSlowPhone);
      DriverService(fake, 0);
      if (!same_object) {
        service->Release();
        service = new MobileInfoService(fake, AbandoningTimings());
      }
      RecordingSink sink;
      ASSERT_EQ(service->Init(&sink, 0), 1);
      ASSERT_EQ(service->Start(), 1);
      if (arrival) {
        // PHONEP's removal joins SLOW1's arrival report; the report announces SLOW1.
        ASSERT_TRUE(sink.WaitFor(2));
        EXPECT_EQ(sink.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
        EXPECT_EQ(sink.events()[1].serial(), u"SLOW1");
      } else {
        ASSERT_TRUE(sink.WaitFor(1));
        EXPECT_EQ(sink.codes(), std::vector<int32_t>{kDeviceRemoved});
        EXPECT_EQ(sink.events()[0].serial(), u"PHONEP");
        EXPECT_EQ(sink.events()[0].name(), u"Nimbus 5");
      }
      EXPECT_EQ(service->Stop(), 1);
      service->Release();
      fake.JoinDetached();
    }
  }
}

// The scan thread abandoned in a download comes back while the next session on the same object
// is processing its own first scan: the new session's removal stays the new session's.
TEST(ServiceLifecycle, AnAbandonedScanThreadCannotTakeTheNextSessionsChanges) {
  FakePlatform fake;
  MobileInfoService service(fake, AbandoningTimings());
  SessionCutShortInADownload(service, fake);
  fake.RemoveDevice(kPhoneP);
  DriverService(fake, 600);  // the new pass waits for the old one, then downloads
  RecordingSink sink;
  ASSERT_EQ(service.Init(&sink, 0), 1);
  ASSERT_EQ(service.Start(), 1);  // first scan: SLOW1 arrives, PHONEP leaves
  ASSERT_TRUE(sink.WaitFor(2));
  EXPECT_EQ(sink.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
  EXPECT_EQ(sink.events()[1].serial(), u"SLOW1");  // not the departed PHONEP, listed first
  std::vector<PhoneRecord> listed = service.CoreForTesting()->phone_list.Copy();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(FieldText(listed[0].serial), u"SLOW1");
  EXPECT_EQ(service.Stop(), 1);
  fake.JoinDetached();
}

// A phone unplugged while the host was stopped, restarted with freshStart 1: the first scan
// takes it off the phone list with code 2, and no arrival report announces it afterwards.
TEST(ServiceLifecycle, AListedPhoneGoneAcrossAFreshStartIsReportedGone) {
  FakePlatform fake;
  MobileInfoService service(fake, AbandoningTimings());
  RecordingSink first;
  SessionWithPhoneP(service, fake, first);
  EXPECT_EQ(service.Stop(), 1);
  fake.RemoveDevice(kPhoneP);

  RecordingSink sink;
  ASSERT_EQ(service.Init(&sink, 1), 1);
  ASSERT_EQ(service.Start(), 1);
  ASSERT_TRUE(sink.WaitFor(1));
  fake.AddDevice(kSlowPhone);
  service.OnDeviceChange(0x8000, 0);
  ASSERT_TRUE(sink.WaitFor(3));
  EXPECT_EQ(sink.codes(), (std::vector<int32_t>{kDeviceRemoved, kArrivalReportBegins, kPhoneReady}));
  EXPECT_EQ(sink.events()[0].serial(), u"PHONEP");
  EXPECT_EQ(sink.events()[2].serial(), u"SLOW1");
  EXPECT_EQ(service.Stop(), 1);
  fake.JoinDetached();
}

// Stop waits for nothing but sink calls without its own bound: a poll stalled in a driver
// request ends the wait at the thread's bound, and a sink that never returns at the sink bound,
// after which nothing of the run reaches the host or the files.
TEST(ServiceLifecycle, StopWaitsForAStalledDriverOrABlockedSinkOnlyWithinItsBounds) {
  for (bool blocked_sink : {false, true}) {
    SCOPED_TRACE(blocked_sink ? "blocked sink" : "stalled driver request");
    FakePlatform fake;
    fake.Lock()->environment[u"MOBILEINFO_DEBUG"] = u"1";
    // Another device's ADB interface: the poll asks its driver at every look, and the phone
    // never becomes ready.
    fake.AddInterface(
        u"\\\\?\\usb#vid_1234&pid_5678#other#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}", true);
    ServiceTimings timings = AbandoningTimings();
    timings.sink_wait_ms = 300;
    timings.grace_ms = 60000;  // the report stays pending: the poll keeps asking the driver
    RecordingSink sink;
    auto* service = new MobileInfoService(fake, timings);
    ASSERT_EQ(service->Init(&sink, 1), 1);
    service->CoreForTesting()->store.PutPhoneForTesting(u"PHONEP", MakePhoneRecord(u"VID_18d1&PID_4ee2", u"PHONEP"));
    fake.AddDevice(kPhoneP);
    if (blocked_sink) sink.Hold(true);
    ASSERT_EQ(service->Start(), 1);
    ASSERT_TRUE(sink.WaitFor(1));  // code 3
    if (!blocked_sink) {
      auto script = fake.Lock();
      script->adb_serial_delay_ms = 3000;
      script->adb_serial_requests = 0;
    }
    ASSERT_TRUE(Eventually([&] {
      auto script = fake.Lock();
      return blocked_sink || script->adb_serial_requests > 0;
    }));
    const auto before = std::chrono::steady_clock::now();
    std::thread release([&] {
      std::this_thread::sleep_for(2500ms);  // a host that hangs Stop is found out, not hung
      sink.Hold(false);
    });
    EXPECT_EQ(service->Stop(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2000ms);
    const auto cache = fake.GetFile(kCacheFile);
    const auto snapshot = fake.GetFile(kSnapshotFile);
    release.join();
    service->Release();
    fake.JoinDetached();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sink.size(), 1u);
    EXPECT_EQ(fake.GetFile(kCacheFile), cache);
    EXPECT_EQ(fake.GetFile(kSnapshotFile), snapshot);
    EXPECT_EQ(fake.Logged(u"sink call is still running"), blocked_sink);
  }
}

}  // namespace
}  // namespace mobileinfo
