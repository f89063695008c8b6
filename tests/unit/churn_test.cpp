// Many plug and unplug changes while host threads query, refresh and exclude at the same time.
// Run under ThreadSanitizer and AddressSanitizer by the test command: no race report, no leak,
// and every arrival report that begins also ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "fake_platform.h"
#include "test_timings.h"
#include "recording_sink.h"
#include "model/phone_record.h"
#include "service/service.h"
#include "support/wide_string.h"

namespace mobileinfo {
namespace {

using namespace std::chrono_literals;

const char kReply[] = "[18d1_4ee2]\r\nUID=1\r\nName=Nimbus 5\r\n";

// Every request gets kReply, (url length % 3) * step_ms late; the churned phone's ADB interface
// is up.
void ServeNimbus(FakePlatform& fake, uint32_t step_ms) {
  fake.Lock()->http = [step_ms](const std::u16string& url) {
    FakeHttpReply reply;
    reply.content_length = U(std::to_string(sizeof(kReply) - 1));
    reply.body = kReply;
    reply.delay_ms = static_cast<uint32_t>(url.size() % 3) * step_ms;
    return reply;
  };
  fake.AddInterface(u"\\\\?\\usb#vid_18d1&pid_4ee2#churn#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}", true);
}

MobileInfoWideString HostString(const std::u16string& text) {
  auto* block = static_cast<WideStringHeader*>(
      std::malloc(sizeof(WideStringHeader) + 2 * (text.size() + 1)));
  block->refs = 1;
  block->length = static_cast<int32_t>(text.size());
  block->capacity = static_cast<int32_t>(text.size());
  auto* chars = reinterpret_cast<char16_t*>(block + 1);
  std::memcpy(chars, text.c_str(), 2 * (text.size() + 1));
  return MobileInfoWideString{chars};
}

TEST(Churn, ThousandChangesWithBusyHostThreads) {
  FakePlatform fake;
  // With diagnostics on, every line's arguments are read amid the same races as the work.
  fake.Lock()->environment[u"MOBILEINFO_DEBUG"] = u"1";
  ServeNimbus(fake, 0);
  auto* service = new MobileInfoService(fake, TestTimings(1, 20, 1000, ServiceTimings().stop_wait_ms));
  RecordingSink sink;
  ASSERT_EQ(service->Init(&sink, 1), 1);
  ASSERT_EQ(service->Start(), 1);

  std::atomic<bool> done{false};
  std::vector<std::thread> hosts;
  hosts.emplace_back([&] {
    while (!done) {
      PhoneRecord phone = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"churn");
      service->QueryPhoneStatus(&phone);
    }
  });
  hosts.emplace_back([&] {
    while (!done) {
      PhoneRecord phone = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"churn");
      service->RefreshDriverInfo(&phone);
      std::this_thread::sleep_for(1ms);
    }
  });
  hosts.emplace_back([&] {
    for (int i = 0; !done; ++i) {
      service->ExcludeFromCache(HostString(u"excluded-" + U(std::to_string(i % 50))));
      if (i % 20 == 0) service->CoreForTesting()->store.SavePhoneCache();
    }
  });

  // 500 plugs and 500 unplugs of phones of one model; each change is forwarded.
  for (int i = 0; i < 1000; ++i) {
    std::u16string id = u"USB\\VID_18D1&PID_4EE2\\P" + U(std::to_string(i / 2 % 7));
    if (i % 2 == 0) {
      fake.AddDevice(id);
      service->OnDeviceChange(0x8000, 0);
    } else {
      fake.RemoveDevice(id);
      service->OnDeviceChange(0x8004, 0);
    }
    if (i % 10 == 0) std::this_thread::sleep_for(1ms);
  }
  // Let the last cycle and the last arrival report finish.
  service->OnDeviceChange(7, 0);
  std::this_thread::sleep_for(300ms);
  done = true;
  for (auto& t : hosts) t.join();
  EXPECT_EQ(service->Stop(), 1);

  {
    EXPECT_TRUE(service->CoreForTesting()->phone_list.Copy().empty());
  }
  service->Release();
  fake.JoinDetached();

  size_t begun = 0, ended = 0;
  for (const RecordedEvent& event : sink.events()) {
    if (event.code == kArrivalReportBegins) ++begun;
    if (event.code == kPhoneReady || event.code == kNoPhoneLeft) ++ended;
    if (event.code == kPhoneReady || event.code == kDeviceRemoved) {
      EXPECT_EQ(event.device_key(), u"VID_18d1&PID_4ee2");
    }
  }
  EXPECT_GT(begun, 0u);
  EXPECT_EQ(begun, ended);  // every arrival report that began also ended, once
  const size_t after = sink.size();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sink.size(), after);  // nothing after Release
  EXPECT_FALSE(fake.Lock()->debug_lines.empty());
}

// Hosts that break the call order (Init, Start, ..., Stop): two host threads call Init, Start, Stop, device changes
// and queries on one object in random order while devices come and go and downloads are slow
// enough to be abandoned, then the object is destroyed one of the three ways, with or without
// Stop, while a worker may still be busy. No call hangs, nothing races or leaks, and the sink
// hears nothing once the destruction has returned.
TEST(Churn, HostsThatBreakTheOrder) {
  FakePlatform fake;
  ServeNimbus(fake, 15);
  const ServiceTimings timings = TestTimings(1, 10, 40, 10);

  std::mt19937 random(11);
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    RecordingSink sink;
    auto* service = new MobileInfoService(fake, timings);
    std::atomic<bool> done{false};
    auto host = [&](unsigned seed) {
      std::mt19937 choose(seed);
      while (!done) {
        switch (choose() % 6) {
          case 0: service->Init(&sink, static_cast<int32_t>(choose() % 2)); break;
          case 1: service->Start(); break;
          case 2: service->Stop(); break;
          case 3: service->OnDeviceChange(0x8000, 0); break;
          case 4: {
            PhoneRecord phone = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"churn");
            service->QueryPhoneStatus(&phone);
            break;
          }
          default: std::this_thread::sleep_for(std::chrono::milliseconds(choose() % 5)); break;
        }
      }
    };
    std::thread first(host, random());
    std::thread second(host, random());
    for (int i = 0; i < 40; ++i) {
      // New serials each round: every round identifies, so downloads are under way.
      std::u16string id = u"USB\\VID_18D1&PID_4EE2\\R" + U(std::to_string(round)) + u"P" +
                          U(std::to_string(i / 2 % 5));
      if (i % 2 == 0) {
        fake.AddDevice(id);
      } else {
        fake.RemoveDevice(id);
      }
      service->OnDeviceChange(i % 2 == 0 ? 0x8000 : 0x8004, 0);
      std::this_thread::sleep_for(1ms);
    }
    done = true;
    first.join();
    second.join();

    if (random() % 2) service->Stop();
    switch (random() % 3) {
      case 0: service->Release(); break;
      case 1: service->DeletingDestructor(1); break;
      default: service->ClearAndDestroy(); break;
    }
    const size_t after = sink.size();
    fake.JoinDetached();  // abandoned workers and downloads end by themselves
    EXPECT_EQ(sink.size(), after);
  }
}

}  // namespace
}  // namespace mobileinfo
