// The ADB status query and the arrival report of the notification thread.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "eventually.h"
#include "fake_platform.h"
#include "test_timings.h"
#include "recording_sink.h"
#include "model/phone_record.h"
#include "service/run.h"
#include "service/service.h"

namespace mobileinfo {
namespace {

using namespace std::chrono_literals;

const char16_t kPathA[] = u"\\\\?\\usb#vid_18d1&pid_4ee2#serial_a#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
const char16_t kPathB[] = u"\\\\?\\usb#vid_04e8&pid_6860#serial_b#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";

ServiceTimings Fast() { return TestTimings(20, 400, ServiceTimings().download_limit_ms, 500); }

class NotificationTest : public ::testing::Test {
 protected:
  explicit NotificationTest(ServiceTimings timings = Fast()) : service_(fake_, timings) {}
  void SetUp() override {
    ASSERT_EQ(service_.Init(&sink_, 1), 1);
    ASSERT_EQ(service_.Start(), 1);
    // The first scan takes listed phones that the (empty) bus lacks off the list: the tests list
    // theirs once it has ended, when its snapshot is saved.
    ASSERT_TRUE(Eventually([&] { return fake_.GetFile(u"C:\\Host\\MobileInfo2.dat").has_value(); }));
  }
  void TearDown() override { service_.Stop(); }
  // A phone listed and a report begun as the scan thread's publication does, without its code 3,
  // so that the tests see the report's own events.
  void Publish(const PhoneRecord& phone) {
    service_.CoreForTesting()->phone_list.AppendIfAbsent(phone);
    service_.RunForTesting()->ReportForTesting().Begin(fake_.TickCount());
  }
  // Waits for the report's first event, which must be code 1 for serial with ADB status; how
  // long after start it came.
  std::chrono::steady_clock::duration FirstReady(std::chrono::steady_clock::time_point start,
                                                 const std::u16string& serial, uint32_t status) {
    EXPECT_TRUE(sink_.WaitFor(1));
    const auto events = sink_.events();
    if (events.empty()) return {};
    EXPECT_EQ(events[0].code, kPhoneReady);
    EXPECT_EQ(events[0].serial(), serial);
    EXPECT_EQ(events[0].record.adb_status, status);
    return events[0].when - start;
  }
  bool NotifyEventSet() { return service_.RunForTesting()->ReportForTesting().Pending(); }
  // A device plugged in or pulled out, forwarded as a host does; returns once the scan thread has
  // made the change known.
  void Change(const char16_t* instance_id, bool plugged) {
    if (plugged) {
      fake_.AddDevice(instance_id);
    } else {
      fake_.RemoveDevice(instance_id);
    }
    service_.OnDeviceChange(plugged ? 0x8000 : 0x8004, 0);
    const std::u16string id = instance_id;
    const std::u16string serial = id.substr(id.rfind(u'\\') + 1);
    ASSERT_TRUE(Eventually([&] {
      return service_.CoreForTesting()->tracker.PresentDevicesForTesting().count(serial) == (plugged ? 1u : 0u);
    }));
  }

  FakePlatform fake_;
  RecordingSink sink_;
  MobileInfoService service_;
};

TEST_F(NotificationTest, ReadyPhoneIsReportedAboutOnePollAfterPublication) {
  fake_.AddInterface(kPathA, true);
  auto start = std::chrono::steady_clock::now();
  Publish(MakePhoneRecord(u"VID_18d1&PID_4EE2", u"serial_a"));
  EXPECT_LT(FirstReady(start, u"serial_a", 2), 300ms);  // well before the grace period
  // The host scribbled on its copy; the listed record is untouched.
  EXPECT_EQ(FieldText(service_.CoreForTesting()->phone_list.Copy()[0].serial), u"serial_a");
}

TEST_F(NotificationTest, SecondListedPhoneReadyIsTheOneReported) {
  fake_.AddInterface(kPathB, true);
  Publish(MakePhoneRecord(u"VID_1111&PID_2222", u"first"));
  Publish(MakePhoneRecord(u"VID_04e8&PID_6860", u"serial_b"));
  ASSERT_TRUE(sink_.WaitFor(1));
  std::this_thread::sleep_for(600ms);  // past the grace period: nothing more
  auto events = sink_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].serial(), u"serial_b");
}

TEST_F(NotificationTest, NewUnreadyArrivalReportsTheReadyPhoneListedEarlier) {
  fake_.AddInterface(kPathA, true);
  {
    service_.CoreForTesting()->phone_list.AppendIfAbsent(MakePhoneRecord(u"VID_18d1&PID_4ee2", u"serial_a"));
  }
  Publish(MakePhoneRecord(u"VID_1111&PID_2222", u"new"));
  ASSERT_TRUE(sink_.WaitFor(1));
  EXPECT_EQ(sink_.events()[0].serial(), u"serial_a");
}

TEST_F(NotificationTest, GraceEndsWithTheFirstPhoneAndItsStatus) {
  // An inactive interface with the first phone's key: status 1; the second matches nothing.
  fake_.AddInterface(kPathA, false);
  auto start = std::chrono::steady_clock::now();
  Publish(MakePhoneRecord(u"VID_18D1&PID_4EE2", u"x1"));
  Publish(MakePhoneRecord(u"VID_9999&PID_0001", u"x2"));
  EXPECT_GE(FirstReady(start, u"x1", 1), 350ms);
}

TEST_F(NotificationTest, OnlyPhoneRemovedWithinGraceGivesCodeFour) {
  Publish(MakePhoneRecord(u"VID_9999&PID_0001", u"gone"));
  for (const PhoneRecord& phone : service_.CoreForTesting()->phone_list.Copy()) {
    service_.CoreForTesting()->phone_list.RemoveFirst(phone);
  }
  ASSERT_TRUE(sink_.WaitFor(1));
  auto events = sink_.events();
  EXPECT_EQ(events[0].code, kNoPhoneLeft);
  EXPECT_FALSE(events[0].has_record);
  // The report is over: the notify event was reset.
  for (int i = 0; i < 100 && NotifyEventSet(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(NotifyEventSet());
}

TEST_F(NotificationTest, RemovalWhileAReportIsPendingRaisesNoCodeTwo) {
  Change(u"USB\\VID_9999&PID_0001\\p1", true);  // known to the library, not a phone
  Publish(MakePhoneRecord(u"VID_9999&PID_0001", u"p1"));
  Change(u"USB\\VID_9999&PID_0001\\p1", false);
  ASSERT_TRUE(sink_.WaitFor(1));
  EXPECT_EQ(sink_.codes(), std::vector<int32_t>{kNoPhoneLeft});
}

// The host is still inside the OnEvent(1) that ends a report when the scan thread publishes another
// phone: that publication begins a new report (code 3) and is reported in turn.
TEST_F(NotificationTest, PublicationDuringTheCallThatEndsAReportBeginsANewOne) {
  fake_.AddInterface(kPathA, true);
  service_.CoreForTesting()->store.PutPhoneForTesting(u"late", MakePhoneRecord(u"VID_9999&PID_0001", u"late"));
  sink_.Hold(true, kPhoneReady);
  Publish(MakePhoneRecord(u"VID_18d1&PID_4ee2", u"serial_a"));
  ASSERT_TRUE(sink_.WaitFor(1));  // inside OnEvent(1)
  fake_.AddDevice(u"USB\\VID_9999&PID_0001\\late");
  service_.OnDeviceChange(0x8000, 0);
  ASSERT_TRUE(sink_.WaitFor(2, 3s));
  sink_.Hold(false);
  ASSERT_TRUE(sink_.WaitFor(3, 3s));
  EXPECT_EQ(sink_.codes(), (std::vector<int32_t>{kPhoneReady, kArrivalReportBegins, kPhoneReady}));
}

// A device that leaves while the host is inside the OnEvent(1) that ends a report is reported.
TEST_F(NotificationTest, RemovalDuringTheCallThatEndsAReportIsReported) {
  Change(u"USB\\VID_046D&PID_C077\\mouse", true);
  fake_.AddInterface(kPathA, true);
  sink_.Hold(true, kPhoneReady);
  Publish(MakePhoneRecord(u"VID_18d1&PID_4ee2", u"serial_a"));
  ASSERT_TRUE(sink_.WaitFor(1));
  fake_.RemoveDevice(u"USB\\VID_046D&PID_C077\\mouse");
  service_.OnDeviceChange(0x8004, 0);
  ASSERT_TRUE(sink_.WaitFor(2, 3s));
  sink_.Hold(false);
  EXPECT_EQ(sink_.codes(), (std::vector<int32_t>{kPhoneReady, kDeviceRemoved}));
}

TEST_F(NotificationTest, OnePollListsOnceForEveryListedPhone) {
  fake_.AddInterface(kPathB, true);
  fake_.SetAdbSerial(kPathB, u"serial_b");
  for (const char16_t* serial : {u"x1", u"x2"}) {
    service_.CoreForTesting()->phone_list.AppendIfAbsent(MakePhoneRecord(u"VID_9999&PID_0001", serial));
  }
  const int listings = fake_.Lock()->interface_list_opens;
  Publish(MakePhoneRecord(u"VID_9999&PID_0001", u"serial_b"));
  ASSERT_TRUE(sink_.WaitFor(1));
  EXPECT_EQ(sink_.events()[0].serial(), u"serial_b");  // the driver's answer on kPathB
  EXPECT_EQ(fake_.Lock()->interface_list_opens, listings + 1);
  // The next report within the listing's bound, nothing forwarded: answered from that listing.
  Publish(MakePhoneRecord(u"VID_9999&PID_0001", u"x3"));
  ASSERT_TRUE(sink_.WaitFor(2));
  EXPECT_EQ(fake_.Lock()->interface_list_opens, listings + 1);
}

// The production timing: a phone whose interface never comes up is reported after about 3 s.
class RealTimingNotificationTest : public NotificationTest {
 protected:
  RealTimingNotificationTest() : NotificationTest(ServiceTimings()) {}
};

TEST_F(RealTimingNotificationTest, GracePeriodOfThreeSeconds) {
  auto start = std::chrono::steady_clock::now();
  Publish(MakePhoneRecord(u"VID_9999&PID_0001", u"slow"));
  ASSERT_TRUE(sink_.WaitFor(1, 10s));
  auto elapsed = sink_.events()[0].when - start;
  EXPECT_GE(elapsed, 2900ms);
  EXPECT_LT(elapsed, 6000ms);
}

TEST_F(RealTimingNotificationTest, ReadyPhoneWithinAFewPolls) {
  fake_.AddInterface(kPathA, true);
  auto start = std::chrono::steady_clock::now();
  Publish(MakePhoneRecord(u"VID_18d1&PID_4ee2", u"serial_a"));
  ASSERT_TRUE(sink_.WaitFor(1, 10s));
  auto elapsed = sink_.events()[0].when - start;
  EXPECT_GE(elapsed, 150ms);  // the first poll comes one period after publication
  EXPECT_LT(elapsed, 2000ms);
}

class QueryTest : public ::testing::Test {
 protected:
  FakePlatform fake_;
  MobileInfoService service_{fake_};
};

TEST_F(QueryTest, StatusFromDeviceKeyOrActiveSerial) {
  fake_.AddInterface(kPathA, false);
  fake_.AddInterface(kPathB, true);
  fake_.SetAdbSerial(kPathB, u"DRIVER-SERIAL");

  PhoneRecord inactive = MakePhoneRecord(u"VID_18D1&PID_4EE2", u"whatever");
  EXPECT_EQ(service_.QueryPhoneStatus(&inactive), 1);
  EXPECT_EQ(inactive.adb_status, 1u);

  // Another key, but the driver reports this phone's serial on an active interface.
  PhoneRecord by_serial = MakePhoneRecord(u"VID_0000&PID_0000", u"driver-serial");
  EXPECT_EQ(service_.QueryPhoneStatus(&by_serial), 2);

  PhoneRecord stale = MakePhoneRecord(u"VID_7777&PID_7777", u"nothing");
  stale.adb_status = 2;
  EXPECT_EQ(service_.QueryPhoneStatus(&stale), 0);
  EXPECT_EQ(stale.adb_status, 0u);
}

TEST_F(QueryTest, InterfaceGoingInactiveTurnsTwoIntoOne) {
  fake_.AddInterface(kPathA, true);
  PhoneRecord phone = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"serial_a");
  EXPECT_EQ(service_.QueryPhoneStatus(&phone), 2);
  fake_.SetInterfaceActive(kPathA, false);
  service_.OnDeviceChange(0x8004, 0);  // as the host forwards the unplugging
  EXPECT_EQ(service_.QueryPhoneStatus(&phone), 1);
}

// A question lists the interfaces again only when the ADB state may be stale; otherwise it
// answers from the last listing, which may miss a change nobody forwarded for up to the bound.
TEST_F(QueryTest, QueryListsAgainOnlyAfterAChangeTheBoundOrANewFailedRequest) {
  fake_.ManualTime(5000, 0);
  fake_.AddInterface(kPathA, true);
  fake_.SetAdbSerial(kPathA, u"serial_a");
  const std::u16string silent =
      u"\\\\?\\usb#vid_1234&pid_5678#mute#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
  struct Step {
    const char* what;
    std::function<void()> act;
    int listings;
    int32_t status;
  };
  const Step steps[] = {
      {"first question", [] {}, 1, 2},
      {"again, nothing forwarded", [] {}, 0, 2},
      {"unplugged, not forwarded", [&] { fake_.SetInterfaceActive(kPathA, false); }, 0, 2},
      {"another code", [&] { service_.OnDeviceChange(0x8001, 0); }, 0, 2},
      {"removal forwarded", [&] { service_.OnDeviceChange(0x8004, 0); }, 1, 1},
      {"plugged in, 999 ms later", [&] { fake_.SetInterfaceActive(kPathA, true);
                                          fake_.AdvanceTime(999); }, 0, 1},
      {"bound passed", [&] { fake_.AdvanceTime(1); }, 1, 2},
      {"arrival forwarded", [&] { service_.OnDeviceChange(0x8000, 0); }, 1, 2},
      {"device nodes changed", [&] { service_.OnDeviceChange(7, 0); }, 1, 2},
      {"a driver that fails", [&] { fake_.AddInterface(silent, true);
                                     service_.OnDeviceChange(7, 0); }, 1, 2},
      {"after the failed request", [] {}, 1, 2},
      {"failed again: left to the bound", [] {}, 0, 2},
  };
  PhoneRecord phone = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"serial_a");
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    const int before = fake_.Lock()->interface_list_opens;
    EXPECT_EQ(service_.QueryPhoneStatus(&phone), step.status);
    EXPECT_EQ(fake_.Lock()->interface_list_opens - before, step.listings);
  }
}

TEST_F(QueryTest, QueriesFromManyThreadsAtOnce) {
  fake_.AddInterface(kPathA, true);
  fake_.SetAdbSerial(kPathA, u"serial_a");
  std::vector<std::thread> threads;
  std::atomic<int> twos{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        PhoneRecord phone = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"serial_a");
        if (service_.QueryPhoneStatus(&phone) == 2) ++twos;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(twos.load(), 200);
  EXPECT_EQ(service_.CoreForTesting()->adb.DevicesForTesting().size(), 1u);
}

}  // namespace
}  // namespace mobileinfo
