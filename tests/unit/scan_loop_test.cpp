// The scan thread's change processing: which arrivals become phones, how removals are reported,
// and the whole road from a device-change code to the host's events.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <thread>

#include "eventually.h"
#include "fake_platform.h"
#include "test_timings.h"
#include "records.h"
#include "recording_sink.h"
#include "model/phone_record.h"
#include "service/service.h"

namespace mobileinfo {
namespace {

using namespace std::chrono_literals;

const char16_t kAdbPath[] =
    u"\\\\?\\usb#vid_18d1&pid_4ee2#phone1#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";

ServiceTimings Fast() { return TestTimings(10, 300, 500, 1000); }

FakeHttpReply IniReply(const std::string& body) {
  FakeHttpReply reply;
  reply.content_length = U(std::to_string(body.size()));
  reply.body = body;
  return reply;
}

const char kNimbusSection[] =
    "[18d1_4ee2]\r\nUID=1001\r\nName=Nimbus 5\r\nDescription=Test phone\r\n";

class ScanThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(service_.Init(&sink_, 1), 1);
    fake_.Lock()->http = [](const std::u16string&) { return IniReply(kNimbusSection); };
  }
  void TearDown() override { service_.Stop(); }

  // Starts the threads and waits for the first scan, of the bus as it is.
  void StartAndScan() {
    ASSERT_EQ(service_.Start(), 1);
    ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 1; }));
  }
  // Changes the bus and forwards the change as a host does, then waits until the cycle it
  // causes has ended.
  void Plug(std::initializer_list<const char16_t*> instance_ids) {
    for (const char16_t* id : instance_ids) fake_.AddDevice(id);
    Forward(0x8000);
  }
  void Unplug(std::initializer_list<const char16_t*> instance_ids) {
    for (const char16_t* id : instance_ids) fake_.RemoveDevice(id);
    Forward(0x8004);
  }
  void Forward(uint32_t code) {
    const int cycles = DeviceListCalls();
    service_.OnDeviceChange(code, 0);
    ASSERT_TRUE(Eventually([&] { return DeviceListCalls() > cycles && Quiet(); }));
  }
  // The scan thread waits for the next change: its last cycle's snapshot is on disk.
  bool Quiet() {
    const DeviceMap known = service_.CoreForTesting()->tracker.PresentDevicesForTesting();
    auto script = fake_.Lock();
    auto file = script->files.find(u"C:\\Host\\MobileInfo2.dat");
    return file != script->files.end() && file->second.size() == (known.empty() ? 0 : 4 + 1092 * known.size());
  }

  std::vector<PhoneRecord> PhoneList() { return service_.CoreForTesting()->phone_list.Copy(); }
  size_t RequestCount() {
    auto script = fake_.Lock();
    return script->requested_urls.size();
  }
  bool NotifySet() {
    std::shared_ptr<mobileinfo::Run> run = service_.RunForTesting();
    return run && run->ReportForTesting().Pending();
  }
  int DeviceListCalls() {
    auto script = fake_.Lock();
    return script->device_list_calls;
  }
  int InterfaceOpens() {
    auto script = fake_.Lock();
    return script->interface_list_opens;
  }
  // Pulls phone1 out and plugs it back: codes 2, then 3 and 1.
  bool ReplugPhone1() {
    const size_t events = sink_.size();
    fake_.RemoveDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
    service_.OnDeviceChange(0x8004, 0);
    if (!sink_.WaitFor(events + 1)) return false;
    fake_.AddDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
    service_.OnDeviceChange(0x8000, 0);
    return sink_.WaitFor(events + 3);
  }
  // Successful replacements of MobileInfo1.dat and MobileInfo2.dat.
  std::pair<int, int> FileWrites() {
    auto script = fake_.Lock();
    return {script->replacements[u"C:\\Host\\MobileInfo1.dat"],
            script->replacements[u"C:\\Host\\MobileInfo2.dat"]};
  }

  FakePlatform fake_;
  RecordingSink sink_;
  MobileInfoService service_{fake_, Fast()};
};

TEST_F(ScanThreadTest, KnownSerialIsPublishedFromTheCacheWithoutARequest) {
  PhoneRecord cached = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"ABC123");
  CopyField(cached.name, std::u16string(u"Nimbus 5"));
  service_.CoreForTesting()->store.PutPhoneForTesting(u"ABC123", cached);
  StartAndScan();
  // The cached serial, and the same in another letter case: one phone, listed once.
  Plug({u"USB\\VID_18D1&PID_4EE2\\ABC123", u"USB\\VID_18D1&PID_4EE2\\abc123"});
  ASSERT_TRUE(sink_.WaitFor(2));
  EXPECT_EQ(sink_.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
  EXPECT_EQ(sink_.events()[1].name(), u"Nimbus 5");
  auto list = PhoneList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(FieldText(list[0].name), u"Nimbus 5");
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(ScanThreadTest, RejectedModelIsDroppedAndUnknownModelGoesToIdentification) {
  service_.CoreForTesting()->store.PutModelForTesting(u"VID_1111&PID_2222", false);
  service_.CoreForTesting()->store.PutModelForTesting(u"VID_18d1&PID_4ee2", true);
  StartAndScan();
  Plug({u"USB\\VID_1111&PID_2222\\rejected", u"USB\\VID_18D1&PID_4EE2\\second-of-model"});
  ASSERT_TRUE(sink_.WaitFor(1));
  auto list = PhoneList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(FieldText(list[0].serial), u"second-of-model");
  ASSERT_EQ(RequestCount(), 1u);
  EXPECT_NE(fake_.Lock()->requested_urls[0].find(u"id=18d1_4ee2"), std::u16string::npos);
  EXPECT_EQ(fake_.Lock()->requested_urls[0].find(u"1111_2222"), std::u16string::npos);
}

TEST_F(ScanThreadTest, UnacceptedCandidatePublishesNothing) {
  fake_.Lock()->http = [](const std::u16string&) { return FakeHttpReply{false, {}, {}, 0}; };
  StartAndScan();
  Plug({u"USB\\VID_9999&PID_0001\\stick"});
  EXPECT_TRUE(PhoneList().empty());
  EXPECT_TRUE(sink_.codes().empty());
  EXPECT_FALSE(NotifySet());
  EXPECT_FALSE(fake_.GetFile(u"C:\\Host\\MobileInfo1.dat").has_value());
}

TEST_F(ScanThreadTest, RemovalReportsCachedRecordOrBareRecord) {
  PhoneRecord cached = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"ABC123");
  CopyField(cached.name, std::u16string(u"Nimbus 5"));
  for (auto& c : cached.md5) c = u'M';  // a damaged cache file's text fills its field
  service_.CoreForTesting()->store.PutPhoneForTesting(u"ABC123", cached);
  StartAndScan();
  Plug({u"USB\\VID_18D1&PID_4EE2\\abc123", u"USB\\VID_046D&PID_C077\\mouse"});
  ASSERT_TRUE(sink_.WaitFor(2));  // the phone's arrival report: codes 3 and 1
  Unplug({u"USB\\VID_18D1&PID_4EE2\\abc123", u"USB\\VID_046D&PID_C077\\mouse"});
  ASSERT_TRUE(sink_.WaitFor(4));
  EXPECT_TRUE(PhoneList().empty());
  auto events = sink_.events();
  EXPECT_EQ(events[2].code, kDeviceRemoved);
  EXPECT_EQ(events[2].name(), u"Nimbus 5");
  EXPECT_EQ(FieldText(events[2].record.md5), std::u16string(63, u'M'));  // the host's wcslen ends
  EXPECT_EQ(events[2].record.md5[63], 0);
  EXPECT_EQ(events[3].code, kDeviceRemoved);
  EXPECT_EQ(events[3].device_key(), u"VID_046d&PID_c077");
  EXPECT_EQ(events[3].serial(), u"mouse");
  EXPECT_EQ(events[3].name(), u"");
}

TEST_F(ScanThreadTest, PublicationWhileAReportIsPendingRaisesNoCodeThree) {
  service_.CoreForTesting()->store.PutPhoneForTesting(u"A", MakePhoneRecord(u"VID_0001&PID_0001", u"A"));
  service_.CoreForTesting()->store.PutPhoneForTesting(u"B", MakePhoneRecord(u"VID_0001&PID_0001", u"B"));
  StartAndScan();
  Plug({u"USB\\VID_0001&PID_0001\\A"});
  Plug({u"USB\\VID_0001&PID_0001\\B"});
  ASSERT_TRUE(sink_.WaitFor(2));
  EXPECT_EQ(sink_.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
  EXPECT_EQ(sink_.events()[1].serial(), u"A");
  EXPECT_EQ(PhoneList().size(), 2u);
}

// The report's own moves: a join neither begins it nor moves its start, and a poll ends it only
// with every join it saw.
TEST(ArrivalReportTest, JoinsKeepTheStartAndHoldOffAnEndThatDidNotSeeThem) {
  ServiceEvents events;
  ArrivalReport report(events);
  EXPECT_FALSE(report.Join());  // none pending: a removal is told, a publication begins one
  report.Begin(1000);
  EXPECT_TRUE(report.Pending());
  EXPECT_TRUE(report.Join());
  ArrivalReport::Look seen = report.LookAtIt();
  EXPECT_EQ(seen.begun_tick, 1000u);
  EXPECT_TRUE(report.Join());
  EXPECT_FALSE(report.End(seen));
  EXPECT_TRUE(report.Pending());
  seen = report.LookAtIt();
  EXPECT_EQ(seen.begun_tick, 1000u);
  EXPECT_TRUE(report.End(seen));
  EXPECT_FALSE(report.Pending());
  EXPECT_FALSE(report.Join());
}

TEST_F(ScanThreadTest, PlugAndUnplugAPhone) {
  ASSERT_EQ(service_.Start(), 1);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 1; }));

  fake_.AddDevice(u"USB\\VID_18D1&PID_4EE2\\phone1", u"Nimbus");
  fake_.AddInterface(kAdbPath, true);
  service_.OnDeviceChange(0x8000, 0);
  ASSERT_TRUE(sink_.WaitFor(2));
  auto events = sink_.events();
  EXPECT_EQ(events[0].code, kArrivalReportBegins);
  EXPECT_EQ(events[1].code, kPhoneReady);
  EXPECT_EQ(events[1].name(), u"Nimbus 5");
  EXPECT_EQ(events[1].record.adb_status, 2u);
  ASSERT_TRUE(Eventually([&] { return !NotifySet(); }));

  fake_.RemoveDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
  fake_.SetInterfaceActive(kAdbPath, false);
  service_.OnDeviceChange(0x8004, 0);
  ASSERT_TRUE(sink_.WaitFor(3));
  events = sink_.events();
  EXPECT_EQ(events[2].code, kDeviceRemoved);
  EXPECT_EQ(events[2].serial(), u"phone1");
  EXPECT_TRUE(PhoneList().empty());
}

TEST_F(ScanThreadTest, OnePhoneInAnotherOutInOneScanAreBothProcessed) {
  PhoneRecord old_phone = MakePhoneRecord(u"VID_0001&PID_0001", u"old");
  service_.CoreForTesting()->store.PutPhoneForTesting(u"old", old_phone);
  service_.CoreForTesting()->phone_list.AppendIfAbsent(old_phone);
  service_.CoreForTesting()->tracker.AcknowledgeArrivals({Device(u"VID_0001&PID_0001", u"old")});

  fake_.AddDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
  ASSERT_EQ(service_.Start(), 1);
  ASSERT_TRUE(sink_.WaitFor(2));
  auto list = PhoneList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(FieldText(list[0].serial), u"phone1");
}

TEST_F(ScanThreadTest, ScanWithoutChangeRunsNoAdbScan) {
  ASSERT_EQ(service_.Start(), 1);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 1; }));
  int opens = InterfaceOpens();
  service_.OnDeviceChange(7, 0);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(InterfaceOpens(), opens);
}

TEST_F(ScanThreadTest, BurstOfCodesDuringACycleGivesOneMoreCycle) {
  service_.CoreForTesting()->store.PutPhoneForTesting(u"phone1", MakePhoneRecord(u"VID_18d1&PID_4ee2", u"phone1"));
  fake_.AddDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
  sink_.Hold(true);  // the first cycle stops inside OnEvent(3)
  ASSERT_EQ(service_.Start(), 1);
  ASSERT_TRUE(sink_.WaitFor(1));
  for (int i = 0; i < 100; ++i) service_.OnDeviceChange(0x8000, i);
  sink_.Hold(false);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 2; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(DeviceListCalls(), 2);
}

TEST_F(ScanThreadTest, DataFilesAreWrittenOnlyWhenWhatTheyHoldChanged) {
  ASSERT_EQ(service_.Start(), 1);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 1; }));
  fake_.AddDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
  fake_.AddInterface(kAdbPath, true);
  service_.OnDeviceChange(0x8000, 0);
  ASSERT_TRUE(sink_.WaitFor(2));  // identified, cached and reported ready
  ASSERT_TRUE(Eventually([&] { return FileWrites() == std::make_pair(1, 2); }));

  // A busy machine forwards codes for docks, audio and Bluetooth devices: nothing to write.
  for (int i = 0; i < 20; ++i) {
    service_.OnDeviceChange(7, 0);
    ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 3 + i; }));
  }
  // The known phone unplugged and plugged back: the snapshot follows it, the cache has it.
  ASSERT_TRUE(ReplugPhone1());
  ASSERT_TRUE(Eventually([&] { return !NotifySet(); }));
  EXPECT_EQ(FileWrites(), std::make_pair(1, 4));
  EXPECT_EQ(RequestCount(), 1u);
}

TEST_F(ScanThreadTest, AFailedCycleOrPollEndsNeitherWorker) {
  // A failed allocation, as a 32-bit host with a large cache may meet, in the first cycle.
  fake_.Lock()->throw_once.insert("ListPresentDevices");
  ASSERT_EQ(service_.Start(), 1);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 1; }));

  fake_.AddDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
  fake_.AddInterface(kAdbPath, false);  // not ready: the report runs to its grace period
  service_.OnDeviceChange(0x8000, 0);
  ASSERT_TRUE(sink_.WaitFor(1));
  std::this_thread::sleep_for(50ms);  // the cycle has set the report's tick
  {
    // The next poll of the pending report fails.
    auto script = fake_.Lock();
    script->throw_once.insert("TickCount");
  }
  ASSERT_TRUE(sink_.WaitFor(2));
  EXPECT_EQ(sink_.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady}));
  {
    auto script = fake_.Lock();
    EXPECT_TRUE(script->throw_once.empty());
  }

  // Both threads still serve the next change.
  ASSERT_TRUE(ReplugPhone1());
  EXPECT_EQ(sink_.codes(), (std::vector<int32_t>{kArrivalReportBegins, kPhoneReady, kDeviceRemoved,
                                                 kArrivalReportBegins, kPhoneReady}));
}

TEST_F(ScanThreadTest, PhonePluggedInAndOutWithinOneCycleIsNotSeen) {
  ASSERT_EQ(service_.Start(), 1);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls() == 1; }));
  fake_.AddDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
  fake_.RemoveDevice(u"USB\\VID_18D1&PID_4EE2\\phone1");
  service_.OnDeviceChange(0x8000, 0);
  service_.OnDeviceChange(0x8004, 0);
  ASSERT_TRUE(Eventually([&] { return DeviceListCalls() >= 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(sink_.codes().empty());
  EXPECT_EQ(RequestCount(), 0u);
}

}  // namespace
}  // namespace mobileinfo
