// The ADB scan against the fake platform: path rules, the driver's serial reply, the records the
// scan keeps, and the ADB lock's reach.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "fake_platform.h"
#include "platform_wrapper.h"
#include "model/phone_record.h"
#include "usb/adb_registry.h"
#include "support/text.h"
#include "usb/interface_path.h"

namespace mobileinfo {
namespace {

const std::u16string kGuidTail = u"#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";

std::u16string AdbPath(const std::u16string& serial,
                       const std::u16string& device = u"vid_18d1&pid_4ee2") {
  return u"\\\\?\\usb#" + device + u"#" + serial + kGuidTail;
}

// A well-formed path of exactly length units.
std::u16string AdbPathOfLength(size_t length) {
  const size_t fixed = AdbPath(u"").size();
  return AdbPath(std::u16string(length - fixed, u'S'));
}

struct ParsedPath {
  int result;
  std::u16string device_key;
  std::u16string serial;
};

ParsedPath ParsePath(const std::u16string& path) {
  UsbDeviceRecord record;
  std::memset(&record, 0, sizeof(record));
  int result = ParseInterfacePath(path.c_str(), &record);
  return {result, FieldText(record.device_key), FieldText(record.serial)};
}

std::array<uint8_t, 1024> ReplyOfUnits(size_t units, char16_t unit = u'7') {
  std::array<uint8_t, 1024> reply{};
  for (size_t i = 0; i < units && 2 * i + 1 < reply.size(); ++i) {
    reply[2 * i] = static_cast<uint8_t>(unit & 0xFF);
    reply[2 * i + 1] = static_cast<uint8_t>(unit >> 8);
  }
  return reply;
}

// --- ParseInterfacePath ---------------------------------------------------------------------

TEST(InterfacePathTest, SerialBetweenTheLastTwoHashesAndKeyAfterTheFirst) {
  ParsedPath p = ParsePath(AdbPath(u"0123456789ABCDEF"));
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.device_key, u"vid_18d1&pid_4ee2");
  EXPECT_EQ(p.serial, u"0123456789ABCDEF");

  ParsedPath composite = ParsePath(AdbPath(u"6&2a3b4c5d&0&0001", u"vid_18d1&pid_4ee2&mi_01"));
  ASSERT_EQ(composite.result, 1);
  EXPECT_EQ(composite.device_key, u"vid_18d1&pid_4ee2");
  EXPECT_EQ(composite.serial, u"6&2a3b4c5d&0&0001");

  // The key keeps the path's letter case.
  EXPECT_EQ(ParsePath(u"\\\\?\\USB#VID_18D1&PID_4EE2#XY" + kGuidTail).device_key,
            u"VID_18D1&PID_4EE2");
}

TEST(InterfacePathTest, FirstComponentMustBeUsbInAnyCase) {
  EXPECT_EQ(ParsePath(u"\\\\?\\USB#vid_18d1&pid_4ee2#S" + kGuidTail).result, 1);
  EXPECT_EQ(ParsePath(u"\\\\?\\uSb#vid_18d1&pid_4ee2#S" + kGuidTail).result, 1);
  for (const char16_t* first : {u"\\\\?\\HID", u"\\\\?\\hid", u"\\\\?\\STORAGE", u"\\\\?\\storage",
                                u"\\\\?\\USBSTOR", u"\\\\.\\USB", u"USB", u""}) {
    SCOPED_TRACE(Utf16ToUtf8(first));
    EXPECT_EQ(ParsePath(std::u16string(first) + u"#vid_18d1&pid_4ee2#SERIAL" + kGuidTail).result, 0);
  }
}

TEST(InterfacePathTest, ShortPathsAndPathsWithoutTwoHashesAfterTheFirstComponentFail) {
  const std::u16string exactly32 = u"\\\\?\\usb#vid_18d1&pid_4ee2#SERI#g";
  ASSERT_EQ(exactly32.size(), 32u);
  EXPECT_EQ(ParsePath(exactly32).result, 1);
  EXPECT_EQ(ParsePath(exactly32).serial, u"SERI");
  const std::u16string exactly31 = u"\\\\?\\usb#vid_18d1&pid_4ee2#SER#g";
  ASSERT_EQ(exactly31.size(), 31u);
  EXPECT_EQ(ParsePath(exactly31).result, 0);

  EXPECT_EQ(ParsePath(u"\\\\?\\usb#vid_18d1&pid_4ee2_0123456789ABCDEF_{f72fe0d4}").result, 0);
  EXPECT_EQ(ParsePath(u"\\\\?\\usb_vid_18d1&pid_4ee2_0123456789ABCDEF_{f72fe0d4}").result, 0);

  // Two hashes: the text between them is the serial, whatever it is.
  ParsedPath two = ParsePath(u"\\\\?\\usb#vid_18d1&pid_4ee2&0123456789#{f72fe0d4}");
  ASSERT_EQ(two.result, 1);
  EXPECT_EQ(two.serial, u"vid_18d1&pid_4ee2&0123456789");
}

TEST(InterfacePathTest, NullArgumentsFail) {
  UsbDeviceRecord record;
  EXPECT_EQ(ParseInterfacePath(nullptr, &record), 0);
  EXPECT_EQ(ParseInterfacePath(AdbPath(u"S").c_str(), nullptr), 0);
}

// --- ReadInterfacePath ----------------------------------------------------------------------

TEST(InterfacePathTest, PathMustFitTheBufferWithItsTerminator) {
  std::u16string path;
  uint32_t error = 0;
  InterfaceEntry entry;
  entry.path = AdbPathOfLength(259);
  ASSERT_EQ(ReadInterfacePath(entry, path, error), 1);
  EXPECT_EQ(path, *entry.path);

  entry.path = AdbPathOfLength(260);
  EXPECT_EQ(ReadInterfacePath(entry, path, error), 0);
  EXPECT_EQ(error, kErrorInsufficientBuffer);

  entry.path = AdbPath(u"S") + u'\0' + std::u16string(400, u'x');
  ASSERT_EQ(ReadInterfacePath(entry, path, error), 1);
  EXPECT_EQ(path, AdbPath(u"S"));
}

TEST(InterfacePathTest, PathThatCouldNotBeFetchedCarriesAnError) {
  std::u16string path;
  uint32_t error = 0;
  InterfaceEntry entry;
  entry.path_error = kErrorOutOfMemory;
  EXPECT_EQ(ReadInterfacePath(entry, path, error), 0);
  EXPECT_EQ(error, kErrorOutOfMemory);
  entry.path_error = 0;
  EXPECT_EQ(ReadInterfacePath(entry, path, error), 0);
  EXPECT_NE(error, 0u);
}

// --- ReadAdbSerial --------------------------------------------------------------------------

TEST(AdbSerialTest, ReplyMustEndWithinItsBytes) {
  std::u16string serial;
  EXPECT_TRUE(AdbSerialFromReply(ReplyOfUnits(0), serial));
  EXPECT_EQ(serial, u"");
  EXPECT_TRUE(AdbSerialFromReply(ReplyOfUnits(511), serial));
  EXPECT_EQ(serial, std::u16string(511, u'7'));
  EXPECT_FALSE(AdbSerialFromReply(ReplyOfUnits(512), serial));  // 1024 bytes, no terminator
  // A reply whose units are non-zero only in their high byte is no terminator either.
  EXPECT_FALSE(AdbSerialFromReply(ReplyOfUnits(512, u'\u0100'), serial));
  EXPECT_TRUE(AdbSerialFromReply(ReplyOfUnits(3, u'\u4E2D'), serial));
  EXPECT_EQ(serial, u"\u4E2D\u4E2D\u4E2D");
}

TEST(AdbSerialTest, DestinationIsWrittenOnlyOnSuccess) {
  FakePlatform fake;
  const std::u16string path = AdbPath(u"S1");
  char16_t destination[512];
  CopyField(destination, std::u16string(u"PREVIOUS"));

  EXPECT_EQ(ReadAdbSerial(fake, path.c_str(), destination), 0);  // the request fails
  EXPECT_EQ(FieldText(destination), u"PREVIOUS");

  fake.Lock()->adb_serial_replies[path] = ReplyOfUnits(512);
  EXPECT_EQ(ReadAdbSerial(fake, path.c_str(), destination), 0);
  EXPECT_EQ(FieldText(destination), u"PREVIOUS");

  fake.SetAdbSerial(path, u"ABC");
  EXPECT_EQ(ReadAdbSerial(fake, path.c_str(), destination), 1);
  EXPECT_EQ(FieldText(destination), u"ABC");
  EXPECT_EQ(destination[3], 0);
  EXPECT_EQ(destination[7], 0);  // no tail of the longer text before

  EXPECT_EQ(ReadAdbSerial(fake, nullptr, destination), 0);
  EXPECT_EQ(ReadAdbSerial(fake, path.c_str(), nullptr), 0);
}

// --- ScanAdbInterfaces ----------------------------------------------------------------------

class AdbScanTest : public ::testing::Test {
 protected:
  int Scan() { return service.ScanAdbInterfaces(); }
  AdbMap adb() { return service.DevicesForTesting(); }

  FakePlatform fake;
  AdbRegistry service{fake};
};

TEST_F(AdbScanTest, InterfaceSeenFirstInactiveThenActive) {
  const std::u16string path = AdbPath(u"0123456789ABCDEF");
  fake.AddInterface(path, false);
  fake.SetAdbSerial(path, u"HT7A1B2C3D");
  ASSERT_EQ(Scan(), 1);
  ASSERT_EQ(adb().size(), 1u);
  auto record = [&] { return adb().at(u"0123456789ABCDEF"); };
  EXPECT_EQ(record().state, kAdbRegistered);
  EXPECT_EQ(FieldText(record().adb_serial), u"");
  EXPECT_EQ(FieldText(record().device_key), u"vid_18d1&pid_4ee2");
  EXPECT_EQ(fake.Lock()->adb_serial_requests, 0);  // inactive interfaces are not asked

  fake.SetInterfaceActive(path, true);
  ASSERT_EQ(Scan(), 1);
  ASSERT_EQ(adb().size(), 1u);
  EXPECT_EQ(record().state, kAdbActive);
  EXPECT_EQ(FieldText(record().adb_serial), u"HT7A1B2C3D");
  // Still plugged in: the driver is not asked again.
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(FieldText(record().adb_serial), u"HT7A1B2C3D");
  EXPECT_EQ(fake.Lock()->adb_serial_requests, 1);

  // Unplugged: still listed, no longer active; the serial stays.
  fake.SetInterfaceActive(path, false);
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(record().state, kAdbRegistered);
  EXPECT_EQ(FieldText(record().adb_serial), u"HT7A1B2C3D");

  // Plugged in again, perhaps another device on the same path: asked again.
  fake.SetInterfaceActive(path, true);
  fake.SetAdbSerial(path, u"HT7A1B2C3E");
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(FieldText(record().adb_serial), u"HT7A1B2C3E");
  EXPECT_EQ(fake.Lock()->adb_serial_requests, 2);

  // Gone from the list altogether: the record keeps its last state; listed active again, it is
  // asked again.
  fake.Lock()->interfaces.clear();
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(adb().size(), 1u);
  EXPECT_EQ(record().state, kAdbActive);
  fake.AddInterface(path, true);
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(fake.Lock()->adb_serial_requests, 3);
}

TEST_F(AdbScanTest, ActiveInterfaceSeenFirstGetsItsSerialAtOnce) {
  const std::u16string path = AdbPath(u"R58M12345ABC", u"vid_04e8&pid_6860");
  fake.AddInterface(path, true);
  fake.SetAdbSerial(path, u"R58M12345ABC");
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(adb().at(u"R58M12345ABC").state, kAdbActive);
  EXPECT_EQ(FieldText(adb().at(u"R58M12345ABC").adb_serial), u"R58M12345ABC");
}

TEST_F(AdbScanTest, UnusableSerialReplyKeepsThePreviousSerialButMarksActive) {
  const std::u16string path = AdbPath(u"S1");
  fake.AddInterface(path, true);
  fake.SetAdbSerial(path, u"GOOD");
  ASSERT_EQ(Scan(), 1);
  fake.SetInterfaceActive(path, false);  // replugged, so that the driver is asked again
  ASSERT_EQ(Scan(), 1);
  fake.SetInterfaceActive(path, true);
  fake.Lock()->adb_serial_replies[path] = ReplyOfUnits(512);  // no terminator in 1024 bytes
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(FieldText(adb().at(u"S1").adb_serial), u"GOOD");
  fake.Lock()->adb_serial_replies.clear();  // the request itself fails
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(FieldText(adb().at(u"S1").adb_serial), u"GOOD");
  EXPECT_EQ(adb().at(u"S1").state, kAdbActive);

  fake.AddInterface(AdbPath(u"S2"), true);  // new and never answered: empty serial, active
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(FieldText(adb().at(u"S2").adb_serial), u"");
  EXPECT_EQ(adb().at(u"S2").state, kAdbActive);

  // Failed reads are asked again at the next scan; answered ones are not.
  fake.SetAdbSerial(path, u"BETTER");
  fake.SetAdbSerial(AdbPath(u"S2"), u"LATE");
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(FieldText(adb().at(u"S1").adb_serial), u"BETTER");
  EXPECT_EQ(FieldText(adb().at(u"S2").adb_serial), u"LATE");
  const int requests = fake.Lock()->adb_serial_requests;
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(fake.Lock()->adb_serial_requests, requests);
}

TEST_F(AdbScanTest, SerialRequestThatNeverAnswersIsAbandonedAtItsBound) {
  fake.AddInterface(AdbPath(u"S1"), true);
  fake.SetAdbSerial(AdbPath(u"S1"), u"LATE");
  fake.Lock()->adb_serial_delay_ms = 20000;  // a wedged driver
  PhoneRecord phone = MakePhoneRecord(u"VID_18d1&PID_4ee2", u"S1");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(service.QueryAdbStatus(phone), 2u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(FieldText(adb().at(u"S1").adb_serial), u"");  // failed: no answer taken
}

TEST_F(AdbScanTest, SerialKeysAreExactAndDeviceKeysNeverChange) {
  fake.AddInterface(AdbPath(u"abc", u"vid_18d1&pid_4ee2"), false);
  fake.AddInterface(AdbPath(u"ABC", u"vid_18d1&pid_4ee7"), false);
  ASSERT_EQ(Scan(), 1);
  ASSERT_EQ(adb().size(), 2u);
  EXPECT_EQ(FieldText(adb().at(u"abc").device_key), u"vid_18d1&pid_4ee2");
  EXPECT_EQ(FieldText(adb().at(u"ABC").device_key), u"vid_18d1&pid_4ee7");

  fake.Lock()->interfaces.clear();
  fake.AddInterface(AdbPath(u"abc", u"vid_0bb4&pid_0c02"), true);
  ASSERT_EQ(Scan(), 1);
  EXPECT_EQ(adb().size(), 2u);
  EXPECT_EQ(FieldText(adb().at(u"abc").device_key), u"vid_18d1&pid_4ee2");
  EXPECT_EQ(adb().at(u"abc").state, kAdbActive);
}

TEST_F(AdbScanTest, PathsThatDoNotParseAreSkipped) {
  fake.AddInterface(u"\\\\?\\hid#vid_046d&pid_c52b#7&1#{4d1e55b2-f16f-11cf-88cb-001111000030}", true);
  fake.AddInterface(u"\\\\?\\STORAGE#Volume#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", true);
  fake.AddInterface(u"\\\\?\\usb#vid_18d1&pid_4ee2#SHORT", true);
  fake.AddInterface(u"\\\\?\\usb#vid_18d1&pid_4ee2_no_more_hashes_here", true);
  fake.AddInterface(AdbPath(u"AFTER"), false);
  ASSERT_EQ(Scan(), 1);
  ASSERT_EQ(adb().size(), 1u);
  EXPECT_TRUE(adb().count(u"AFTER"));
  EXPECT_EQ(fake.Lock()->adb_serial_requests, 0);
}

TEST_F(AdbScanTest, PathOf259UnitsIsUsedAndOneOf260EndsTheScan) {
  const std::u16string ok = AdbPathOfLength(259);
  fake.AddInterface(ok, false);
  fake.AddInterface(AdbPathOfLength(260), false);
  fake.AddInterface(AdbPath(u"NEVER"), false);
  EXPECT_EQ(Scan(), 0);
  EXPECT_EQ(adb().size(), 1u);
  EXPECT_TRUE(adb().count(ParsePath(ok).serial));
  EXPECT_FALSE(adb().count(u"NEVER"));
}

TEST_F(AdbScanTest, PathFetchFailureEndsTheScanKeepingEarlierRecords) {
  fake.AddInterface(AdbPath(u"FIRST"), true);
  fake.SetAdbSerial(AdbPath(u"FIRST"), u"F1");
  InterfaceEntry broken;
  broken.path_error = kErrorOutOfMemory;
  fake.Lock()->interfaces.push_back(broken);
  fake.AddInterface(AdbPath(u"NEVER"), true);
  EXPECT_EQ(Scan(), 0);
  EXPECT_EQ(adb().size(), 1u);
  EXPECT_EQ(FieldText(adb().at(u"FIRST").adb_serial), u"F1");
}

TEST_F(AdbScanTest, EnumerationEndDecidesTheResult) {
  fake.AddInterface(AdbPath(u"ONE"), false);
  fake.Lock()->interface_end_error = kErrorGenFailure;
  EXPECT_EQ(Scan(), 0);
  EXPECT_EQ(adb().size(), 1u);  // what was seen before the error stays

  fake.Lock()->interface_end_error = kErrorNoMoreItems;
  EXPECT_EQ(Scan(), 1);

  fake.Lock()->interface_list_fails = true;
  service.ReplaceForTesting({});
  EXPECT_EQ(Scan(), 0);
  EXPECT_TRUE(adb().empty());
}

// The ADB lock covers the enumeration loop (driver requests included) but not the opening and
// destruction of the list: a second scan can open its list while the first holds the lock, it
// waits before stepping through it, and it gets in before the first list is destroyed.
class LockProbePlatform : public PlatformWrapper {
 public:
  explicit LockProbePlatform(FakePlatform& fake) : PlatformWrapper(fake) {}

  class ProbeList : public InterfaceList {
   public:
    ProbeList(LockProbePlatform& owner, std::unique_ptr<InterfaceList> inner, int number)
        : owner_(owner), inner_(std::move(inner)), number_(number) {}
    ~ProbeList() override {
      if (number_ != 1) return;
      std::unique_lock<std::mutex> lock(owner_.probe_mutex);
      owner_.second_entered_before_first_destroyed = owner_.probe_cv.wait_for(
          lock, std::chrono::seconds(10), [&] { return owner_.second_next_calls > 0; });
    }
    bool Next(InterfaceEntry& entry) override {
      if (number_ == 2) {
        std::lock_guard<std::mutex> lock(owner_.probe_mutex);
        ++owner_.second_next_calls;
        owner_.probe_cv.notify_all();
      }
      return inner_->Next(entry);
    }
    uint32_t error() const override { return inner_->error(); }

   private:
    LockProbePlatform& owner_;
    std::unique_ptr<InterfaceList> inner_;
    int number_;
  };

  std::unique_ptr<InterfaceList> OpenInterfaceList(const std::u16string& class_guid) override {
    std::unique_ptr<InterfaceList> inner = PlatformWrapper::OpenInterfaceList(class_guid);
    std::lock_guard<std::mutex> lock(probe_mutex);
    auto list = std::make_unique<ProbeList>(*this, std::move(inner), ++opened);
    probe_cv.notify_all();
    return list;
  }

  bool RequestAdbSerial(const std::u16string& path, std::array<uint8_t, 1024>& reply,
                        uint32_t limit_ms) override {
    if (!started_second.exchange(true)) {
      second = std::thread([this] { second_result = service->ScanAdbInterfaces(); });
      std::unique_lock<std::mutex> lock(probe_mutex);
      second_opened_while_first_held_lock =
          probe_cv.wait_for(lock, std::chrono::seconds(10), [&] { return opened == 2; });
      // Give the second scan a moment in which it could wrongly step through its list.
      probe_cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return second_next_calls > 0; });
      second_stepped_while_first_held_lock = second_next_calls > 0;
    }
    return PlatformWrapper::RequestAdbSerial(path, reply, limit_ms);
  }

  AdbRegistry* service = nullptr;
  std::thread second;
  std::atomic<bool> started_second{false};
  std::atomic<int> second_result{-1};
  std::mutex probe_mutex;
  std::condition_variable probe_cv;
  int opened = 0;
  int second_next_calls = 0;
  bool second_opened_while_first_held_lock = false;
  bool second_stepped_while_first_held_lock = true;
  bool second_entered_before_first_destroyed = false;
};

TEST(AdbScanLockTest, LockCoversTheLoopButNotOpeningOrDestroyingTheList) {
  FakePlatform fake;
  LockProbePlatform probe(fake);
  AdbRegistry service(probe);
  probe.service = &service;
  fake.AddInterface(AdbPath(u"S1"), true);
  fake.SetAdbSerial(AdbPath(u"S1"), u"SERIAL1");

  EXPECT_EQ(service.ScanAdbInterfaces(), 1);
  probe.second.join();
  EXPECT_EQ(probe.second_result, 1);
  EXPECT_TRUE(probe.second_opened_while_first_held_lock);
  EXPECT_FALSE(probe.second_stepped_while_first_held_lock);
  EXPECT_TRUE(probe.second_entered_before_first_destroyed);
  EXPECT_EQ(FieldText(service.DevicesForTesting().at(u"S1").adb_serial), u"SERIAL1");
}

}  // namespace
}  // namespace mobileinfo
