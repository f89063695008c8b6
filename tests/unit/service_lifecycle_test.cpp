// The service object's lifecycle: Init's order of steps, Start/Stop with their threads, the
// device-change codes, the small slots, and destruction in every order a host may use.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "eventually.h"
#include "fake_platform.h"
#include "recording_sink.h"
#include "service/service.h"
#include "service_peer.h"
#include "support/wide_string.h"

namespace mobileinfo {
namespace {

using namespace std::chrono_literals;

ServiceTimings FastTimings() {
  ServiceTimings t;
  t.poll_ms = 10;
  t.grace_ms = 200;
  t.download_limit_ms = 300;
  t.stop_wait_ms = 200;
  return t;
}

int DeviceListCalls(FakePlatform& fake) {
  std::lock_guard<std::mutex> lock(fake.mutex);
  return fake.device_list_calls;
}

TEST(ServiceLifecycle, StopBeforeInitSucceedsAndWritesNothing) {
  FakePlatform fake;
  MobileInfoService service(fake, FastTimings());
  EXPECT_EQ(service.Stop(), 1);
  EXPECT_TRUE(fake.files.empty());
}

TEST(ServiceLifecycle, InitWithInvalidSinkFailsAfterReadingSettings) {
  FakePlatform fake;
  fake.SetFile(u"C:\\Host\\mobileInfo.ini", "[main]\nMobileInfoCacheTimeOut=7\n");
  MobileInfoService service(fake, FastTimings());
  ServicePeer::exclusion_set(service).insert(u"old");
  ServicePeer::arrivals(service).push_back(UsbDeviceRecord{});
  EXPECT_EQ(service.Init(nullptr, 0), 0);
  EXPECT_EQ(ServicePeer::cache_timeout_days(service), 7);
  EXPECT_TRUE(ServicePeer::exclusion_set(service).empty());
  EXPECT_TRUE(ServicePeer::arrivals(service).empty());
  // The sink check comes before the OS probes and the events.
  EXPECT_EQ(ServicePeer::os_code(service), 0);
  EXPECT_EQ(ServicePeer::bitness_code(service), 1);
  EXPECT_EQ(ServicePeer::events(service), nullptr);
  EXPECT_EQ(service.Start(), 0);  // nothing to wait on without Init's events
}

TEST(ServiceLifecycle, InitTakesOsAndBitnessCodes) {
  FakePlatform fake;
  RecordingSink sink;
  MobileInfoService service(fake, FastTimings());
  ASSERT_EQ(service.Init(&sink, 1), 1);
  EXPECT_EQ(ServicePeer::os_code(service), 5);       // Wine reports Windows 7
  EXPECT_EQ(ServicePeer::bitness_code(service), 2);  // AMD64 native architecture
  EXPECT_NE(ServicePeer::events(service), nullptr);
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
  EXPECT_FALSE(ServicePeer::scan_thread_running(service));
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
  EXPECT_EQ(ServicePeer::events(service), nullptr);
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

// A host whose sink never returns: Stop gives up after its wait and returns, and destruction
// still waits for the thread so that it never runs on a destroyed object.
TEST(ServiceLifecycle, StopReturnsWhileASinkCallHangsAndReleaseIsSafe) {
  FakePlatform fake;
  fake.AddDevice(u"USB\\VID_18D1&PID_4EE2\\SER1");
  RecordingSink sink;
  sink.Hold(true);
  auto* service = new MobileInfoService(fake, FastTimings());
  ASSERT_EQ(service->Init(&sink, 1), 1);
  ServicePeer::phone_info(*service)[u"SER1"] = PhoneRecord{};  // known phone: published at once
  ASSERT_EQ(service->Start(), 1);
  ASSERT_TRUE(sink.WaitFor(1));  // the scan thread is now inside OnEvent(3)
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(service->Stop(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  std::thread release([&] { service->Release(); });
  std::this_thread::sleep_for(50ms);
  sink.Hold(false);
  release.join();
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
  ServicePeer::phone_info(*service)[u"X"] = PhoneRecord{};
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
  EXPECT_TRUE(ServicePeer::exclusion_set(service).empty());
  service.ExcludeFromCache(make(u"AB1"));
  service.ExcludeFromCache(make(u"AB1"));
  service.ExcludeFromCache(MobileInfoWideString{nullptr});
  EXPECT_EQ(ServicePeer::exclusion_set(service).count(u"AB1"), 1u);
  EXPECT_EQ(service.Stop(), 1);
}

}  // namespace
}  // namespace mobileinfo
