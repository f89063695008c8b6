// Identification against the fake platform: the getDriver request, the identification pass, the
// unidentified device report and the refresh of one phone's driver information.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <thread>

#include "conformance_cases.h"
#include "fake_platform.h"
#include "records.h"
#include "model/phone_record.h"
#include "service/service.h"
#include "support/text.h"

namespace mobileinfo {
namespace {

using Clock = std::chrono::steady_clock;

const std::u16string kBase = u"http://svc:8780";
const std::u16string kTemp = u"C:\\Temp\\";
// The fake's process is 0x1234; its platform numbers the reply files from 1.
std::u16string ReplyPath(const char16_t* prefix, const char16_t* number) {
  return kTemp + prefix + u"00001234" + number + u".tmp";
}
const std::u16string kGetDriver = kBase + u"/intf/getDriver?os=5&bit=2&id=";
const int32_t kNow = 1700000000;

const std::u16string kKeyA = u"VID_04e8&PID_6860";
const std::u16string kKeyB = u"VID_18d1&PID_4ee7";
const std::u16string kKeyC = u"VID_2717&PID_ff48";

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Section(const std::string& id, const std::string& name,
                    const std::string& extra = "") {
  return "[" + id + "]\r\nUID=" + id + "\r\nName=" + name + "\r\n" + extra;
}

FakeHttpReply Reply(const std::string& body) {
  FakeHttpReply reply;
  reply.content_length = U(std::to_string(body.size()));
  reply.body = body;
  return reply;
}

class IdentifyTest : public ::testing::Test {
 protected:
  explicit IdentifyTest(uint32_t limit_ms = 300)
      : service_(fake_, Timings(limit_ms), kBase) {
    service_.CoreForTesting()->identifier.SetSystem(5, 2);
    fake_.ManualTime(1000, kNow);
  }
  ~IdentifyTest() override { fake_.JoinDetached(); }

  static ServiceTimings Timings(uint32_t limit_ms) {
    ServiceTimings timings;
    timings.download_limit_ms = limit_ms;
    return timings;
  }

  // The service answers every getDriver request with body, and f72 reports with a short page.
  void Serve(const std::string& body) {
    fake_.Lock()->http = [this, body](const std::u16string& url) {
      if (url.find(u"/intf/getDriver") != std::u16string::npos) {
        reply_file_existed_ = !TempFiles().empty();
        return Reply(body);
      }
      return Reply("ok");
    };
  }
  void ServiceDown() {
    fake_.Lock()->http = [](const std::u16string&) {
      FakeHttpReply reply;
      reply.handle = false;
      return reply;
    };
  }
  void AddAdb(const std::u16string& key, const std::u16string& serial) {
    AdbRecord record;
    std::memset(&record, 0, sizeof(record));
    CopyField(record.device_key, key);
    CopyField(record.adb_serial, serial);
    record.state = kAdbActive;
    AdbMap map = service_.CoreForTesting()->adb.DevicesForTesting();
    map[U(std::to_string(map.size()))] = record;
    service_.CoreForTesting()->adb.ReplaceForTesting(map);
  }
  std::vector<std::u16string> UrlsWith(const std::u16string& part) {
    fake_.JoinDetached();
    auto script = fake_.Lock();
    std::vector<std::u16string> urls;
    for (const auto& url : script->requested_urls) {
      if (url.find(part) != std::u16string::npos) urls.push_back(url);
    }
    return urls;
  }
  std::vector<std::u16string> Reports() { return UrlsWith(u"/intf/f72"); }
  std::vector<std::u16string> TempFiles() { return fake_.ListFiles(kTemp, u""); }
  std::vector<std::u16string> DriverRequests() { return UrlsWith(u"/intf/getDriver"); }

  // One identification pass over candidates, all of them asked about; what it publishes.
  DeviceList Identify(const DeviceList& candidates) {
    DeviceList output;
    service_.CoreForTesting()->identifier.IdentifyNewDevicesForTesting(candidates, output);
    return output;
  }
  ModelStatusMap models() { return service_.CoreForTesting()->store.ModelsForTesting(); }
  PhoneInfoMap phones() { return service_.CoreForTesting()->store.PhonesForTesting(); }

  FakePlatform fake_;
  MobileInfoService service_;
  std::atomic<bool> reply_file_existed_{false};
};

// --- the getDriver request ---------------------------------------------------------------------

TEST_F(IdentifyTest, RequestAsksForAllCandidatesInOrder) {
  Serve("[x]\r\n");
  DeviceList candidates = {Device(kKeyA, u"S1"), Device(kKeyB, u"S2"), Device(kKeyA, u"S3")};
  std::u16string reply_path;
  std::vector<DriverLookupEntry> lookup;
  EXPECT_TRUE(service_.CoreForTesting()->identifier.RequestDriverInfo(candidates, reply_path, lookup));
  EXPECT_EQ(DriverRequests(),
            std::vector<std::u16string>{kGetDriver + u"04e8_6860,18d1_4ee7,04e8_6860"});
  EXPECT_EQ(reply_path, ReplyPath(u"!ly", u"00000001"));
  EXPECT_EQ(fake_.GetFile(reply_path), "[x]\r\n");
  ASSERT_EQ(lookup.size(), 3u);
  EXPECT_EQ(FieldText(lookup[0].driver_id), u"04e8_6860");
  EXPECT_EQ(FieldText(lookup[1].driver_id), u"18d1_4ee7");
  EXPECT_EQ(FieldText(lookup[2].driver_id), u"04e8_6860");
  EXPECT_EQ(std::memcmp(&lookup[1].device, &candidates[1], sizeof(UsbDeviceRecord)), 0);
}

TEST_F(IdentifyTest, RequestSkipsUnusableKeysWithoutStrayCommas) {
  Serve("[x]\r\n");
  DeviceList candidates = {Device(u"VID_04e8&PID_68", u"short first"),  // 15 units
                           Device(kKeyA, u"S1"),
                           Device(u"vid_18d1&pid_4ee7", u"lower case"),
                           Device(u"VID_18d1&QID_4ee7", u"no PID_"),
                           Device(kKeyB, u"S2"),
                           Device(u"VID_2717&PID_ff4", u"short last")};  // 16 units
  std::u16string reply_path;
  std::vector<DriverLookupEntry> lookup;
  EXPECT_TRUE(service_.CoreForTesting()->identifier.RequestDriverInfo(candidates, reply_path, lookup));
  EXPECT_EQ(DriverRequests(), std::vector<std::u16string>{kGetDriver + u"04e8_6860,18d1_4ee7"});
  ASSERT_EQ(lookup.size(), 2u);
  EXPECT_EQ(FieldText(lookup[0].device.serial), u"S1");
  EXPECT_EQ(FieldText(lookup[1].device.serial), u"S2");
}

TEST_F(IdentifyTest, RequestIsSentEvenWithoutAnyUsableKey) {
  Serve("[x]\r\n");
  std::u16string reply_path;
  std::vector<DriverLookupEntry> lookup;
  EXPECT_TRUE(service_.CoreForTesting()->identifier.RequestDriverInfo({Device(u"VID_1&PID_2", u"s")}, reply_path, lookup));
  EXPECT_EQ(DriverRequests(), std::vector<std::u16string>{kGetDriver});
  EXPECT_TRUE(lookup.empty());
}

// A file an ended process of the same id left under the name.
TEST_F(IdentifyTest, RequestDeletesAStaleReplyFileFirst) {
  fake_.SetFile(ReplyPath(u"!ly", u"00000001"), "[04e8_6860]\r\nUID=1\r\nName=stale\r\n");
  Serve("[x]\r\n");
  std::u16string reply_path;
  std::vector<DriverLookupEntry> lookup;
  EXPECT_TRUE(service_.CoreForTesting()->identifier.RequestDriverInfo({Device(kKeyA, u"S1")}, reply_path, lookup));
  EXPECT_FALSE(reply_file_existed_);

  // With the service down, the stale file must not pass for a reply.
  fake_.SetFile(ReplyPath(u"!ly", u"00000002"), "[04e8_6860]\r\nUID=1\r\nName=stale\r\n");
  ServiceDown();
  lookup.clear();
  EXPECT_FALSE(service_.CoreForTesting()->identifier.RequestDriverInfo({Device(kKeyA, u"S1")}, reply_path, lookup));
  EXPECT_FALSE(fake_.GetFile(ReplyPath(u"!ly", u"00000002")));
  EXPECT_EQ(lookup.size(), 1u);  // left filled in either case
}

// A host that released a service object whose pass still runs, and made the next one.
TEST_F(IdentifyTest, ServiceObjectsOfOneProcessKeepTheirRepliesApart) {
  MobileInfoService next(fake_, Timings(300), kBase);
  std::u16string first_path, next_path;
  std::vector<DriverLookupEntry> lookup;
  Serve(Section("04e8_6860", "first"));
  ASSERT_TRUE(service_.CoreForTesting()->identifier.RequestDriverInfo({Device(kKeyA, u"S1")}, first_path, lookup));
  Serve(Section("18d1_4ee7", "next"));
  ASSERT_TRUE(next.CoreForTesting()->identifier.RequestDriverInfo({Device(kKeyB, u"S2")}, next_path, lookup));
  EXPECT_NE(first_path, next_path);
  EXPECT_EQ(fake_.GetFile(first_path), Section("04e8_6860", "first"));
}

// What a process killed in the middle of a pass or a refresh leaves is removed once it is gone.
TEST_F(IdentifyTest, ReplyFilesOfEndedProcessesAreRemoved) {
  fake_.Lock()->other_processes.insert(0xBEEF);
  const std::vector<std::u16string> ended = {
      kTemp + u"!ly0000DEAD00000001.tmp", kTemp + u"!lr0000DEAD00000002.tmp",
      kTemp + u"!lr0000DEAD00000003.tmp.a1B2c3"};  // a backend's download file beside one
  const std::vector<std::u16string> kept = {
      kTemp + u"!ly0000BEEF00000001.tmp",  // its process runs
      kTemp + u"!ly0000123400000009.tmp",  // this process's: another service object may use it
      kTemp + u"!ly0000DEAD0000001.tmp", kTemp + u"!ly0000DEAD00000001.tmpx",
      kTemp + u"!lz0000DEAD00000001.tmp", kTemp + u"!lyinfo.tmp"};
  for (const auto* paths : {&ended, &kept}) {
    for (const std::u16string& path : *paths) fake_.SetFile(path, "[x]\r\n");
  }
  Serve("[x]\r\n");
  DeviceList output = Identify({Device(kKeyA, u"S1")});
  for (const std::u16string& path : ended) {
    EXPECT_FALSE(fake_.GetFile(path)) << Utf16ToUtf8(path);
  }
  for (const std::u16string& path : kept) EXPECT_TRUE(fake_.GetFile(path)) << Utf16ToUtf8(path);
}

TEST_F(IdentifyTest, RequestRefusesATemporaryFolderTooLongForAPath) {
  Serve("[x]\r\n");
  std::u16string reply_path;
  std::vector<DriverLookupEntry> lookup;
  fake_.Lock()->temp_directory = u"C:\\" + std::u16string(233, u't') + u"\\";  // 237 units
  // 237 + "!ly" + 16 digits + ".tmp" = 260 units: one more than a path buffer holds.
  EXPECT_FALSE(service_.CoreForTesting()->identifier.RequestDriverInfo({Device(kKeyA, u"S1")}, reply_path, lookup));
  EXPECT_TRUE(DriverRequests().empty());
  fake_.Lock()->temp_directory = u"C:\\" + std::u16string(232, u't') + u"\\";  // 259 in all
  lookup.clear();
  EXPECT_TRUE(service_.CoreForTesting()->identifier.RequestDriverInfo({Device(kKeyA, u"S1")}, reply_path, lookup));
  EXPECT_EQ(reply_path.size(), 259u);
}

// --- the identification pass -------------------------------------------------------------------

TEST_F(IdentifyTest, EmptyCandidateListSendsNothing) {
  Serve(Section("04e8_6860", "A"));
  DeviceList output = Identify({});
  EXPECT_TRUE(output.empty());
  EXPECT_TRUE(DriverRequests().empty());
}

TEST_F(IdentifyTest, TwoPhonesOfOneModelAreBothStored) {
  Serve(Section("04e8_6860", "Galaxy", "Description=phone\r\nFileExt=exe\r\n"));
  DeviceList output = {Device(kKeyC, u"ALREADY")};  // the pass appends to what is there
  service_.CoreForTesting()->identifier.IdentifyNewDevicesForTesting(
      {Device(kKeyA, u"S1"), Device(kKeyA, u"S2")}, output);
  EXPECT_EQ(Serials(output), (std::vector<std::u16string>{u"ALREADY", u"S1", u"S2"}));
  EXPECT_EQ(DriverRequests(), std::vector<std::u16string>{kGetDriver + u"04e8_6860,04e8_6860"});
  ASSERT_EQ(phones().size(), 2u);
  for (const std::u16string serial : {u"S1", u"S2"}) {
    const PhoneRecord record = phones().at(serial);
    EXPECT_EQ(FieldText(record.device_key), kKeyA);
    EXPECT_EQ(FieldText(record.serial), serial);
    EXPECT_EQ(FieldText(record.name), u"Galaxy");
    EXPECT_EQ(FieldText(record.description), u"phone");
    EXPECT_EQ(FieldText(record.file_ext), u"exe");
    EXPECT_EQ(record.time_stamp, kNow);
    EXPECT_EQ(record.reserved, 0u);
    EXPECT_EQ(record.adb_status, 0u);
  }
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, true}}));
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_TRUE(Reports().empty());
}

TEST_F(IdentifyTest, UnknownModelIsMarkedUnlessItIsAnAdbDevice) {
  Serve(Section("04e8_6860", "Galaxy"));
  AddAdb(u"vid_18d1&pid_4ee7", u"adb-serial");  // the interface path's letter case
  DeviceList output = Identify({Device(kKeyB, u"PIXEL"), Device(kKeyC, u"OTHER"), Device(kKeyA, u"S1")});
  EXPECT_EQ(Serials(output), (std::vector<std::u16string>{u"PIXEL", u"S1"}));
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, true}, {kKeyC, false}}));
  EXPECT_EQ(phones().size(), 1u);
  EXPECT_TRUE(phones().count(u"S1"));
  EXPECT_TRUE(Reports().empty());  // the service answered: nobody is reported
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(IdentifyTest, AdbDeviceMatchesBySerialIgnoringCase) {
  AddAdb(u"vid_9999&pid_9999", u"ab12CD");
  EXPECT_TRUE(service_.CoreForTesting()->adb.IsAdbDevice(Device(kKeyA, u"AB12cd")));
  EXPECT_FALSE(service_.CoreForTesting()->adb.IsAdbDevice(Device(kKeyA, u"AB12c")));
  EXPECT_TRUE(service_.CoreForTesting()->adb.IsAdbDevice(Device(u"VID_9999&PID_9999", u"x")));
  // An empty serial equals an ADB entry whose driver gave no serial.
  AddAdb(u"vid_1111&pid_1111", u"");
  EXPECT_TRUE(service_.CoreForTesting()->adb.IsAdbDevice(Device(kKeyB, u"")));
}

TEST_F(IdentifyTest, ServiceDownReportsAndKeepsOnlyAdbDevices) {
  ServiceDown();
  AddAdb(u"vid_18d1&pid_4ee7", u"PIXEL");
  DeviceList output = Identify({Device(kKeyA, u"S1"), Device(kKeyB, u"PIXEL")});
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"PIXEL"});
  EXPECT_EQ(Reports(),
            std::vector<std::u16string>{
                kBase + u"/intf/f72?vid=18d1&pid=4ee7&desc1=(null)&desc2=(null)&desc3=(null)"});
  EXPECT_TRUE(models().empty());
  EXPECT_TRUE(phones().empty());
}

TEST_F(IdentifyTest, ReplyWithoutContentLengthCountsAsServiceDown) {
  fake_.Lock()->http = [](const std::u16string&) {
    FakeHttpReply reply;
    reply.body = Section("04e8_6860", "Galaxy");  // chunked: no length header
    return reply;
  };
  AddAdb(u"vid_04e8&pid_6860", u"S1");
  DeviceList output = Identify({Device(kKeyA, u"S1"), Device(kKeyB, u"S2")});
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"S1"});
  EXPECT_EQ(Reports().size(), 1u);
  EXPECT_TRUE(models().empty());
  EXPECT_TRUE(phones().empty());
}

TEST_F(IdentifyTest, OnlyASuccessStatusIsAnAnswer) {
  // An error page (a proxy's, a captive portal's) or a redirect that was not followed holds no
  // driver information: nothing is marked unknown, and the Android device is reported and
  // published as when the service cannot be reached.
  AddAdb(u"vid_18d1&pid_4ee7", u"S2");
  for (const auto& [status, answer] : std::vector<std::pair<uint32_t, bool>>{
           {200, true}, {203, true}, {301, false}, {302, false}, {404, false}, {500, false},
           {503, false}}) {
    service_.CoreForTesting()->store.Clear();
    const size_t reports = Reports().size();
    fake_.Lock()->http = [status = status](const std::u16string&) {
      FakeHttpReply reply = Reply(Section("04e8_6860", "Galaxy") + "<html>error</html>");
      reply.status = status;
      return reply;
    };
    DeviceList output = Identify({Device(kKeyA, u"S1"), Device(kKeyB, u"S2")});
    EXPECT_EQ(Serials(output), answer ? (std::vector<std::u16string>{u"S1", u"S2"})
                                      : std::vector<std::u16string>{u"S2"})
        << status;
    EXPECT_EQ(models(), answer ? (ModelStatusMap{{kKeyA, true}}) : ModelStatusMap()) << status;
    EXPECT_EQ(Reports().size(), reports + (answer ? 0 : 1)) << status;
    EXPECT_TRUE(TempFiles().empty()) << status;
  }
}

TEST_F(IdentifyTest, SameSerialTwiceKeepsTheLaterRecord) {
  Serve(Section("04e8_6860", "first") + Section("18d1_4ee7", "second"));
  DeviceList output = Identify({Device(kKeyA, u"DUP"), Device(kKeyB, u"DUP")});
  EXPECT_EQ(Serials(output), (std::vector<std::u16string>{u"DUP", u"DUP"}));
  ASSERT_EQ(phones().size(), 1u);
  EXPECT_EQ(FieldText(phones().at(u"DUP").name), u"second");
  EXPECT_EQ(FieldText(phones().at(u"DUP").device_key), kKeyB);
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, true}, {kKeyB, true}}));
}

TEST_F(IdentifyTest, ReplyWithoutSectionsMarksEveryNonAdbModel) {
  Serve("<html><body>500 Internal Server Error</body></html>");
  AddAdb(u"vid_18d1&pid_4ee7", u"");
  DeviceList output = Identify({Device(kKeyA, u"S1"), Device(kKeyB, u"S2"), Device(kKeyC, u"S3")});
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"S2"});
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, false}, {kKeyC, false}}));
  EXPECT_TRUE(phones().empty());
  EXPECT_TRUE(Reports().empty());
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(IdentifyTest, NoEarlierEntryLeaksIntoALaterRecord) {
  // The pass reuses one record: A fills every field, B has a UID but no Name (fails, empties the
  // name), C has only UID and Name.
  Serve(std::string(
            "[04e8_6860]\r\nUID=1\r\nName=A\r\nDescription=dA\r\nImageUrl=iA\r\n"
            "VendorImageUrl=vA\r\nGUID=gA\r\nPDown=pA\r\nInstallPath=ipA\r\nFileExt=fA\r\n"
            "Param=prA\r\nMD5=mA\r\nPack=pkA\r\n") +
        "[18d1_4ee7]\r\nUID=2\r\n" + Section("2717_ff48", "C"));
  DeviceList output = Identify({Device(kKeyA, u"SA"), Device(kKeyB, u"SB"), Device(kKeyC, u"SC")});
  EXPECT_EQ(Serials(output), (std::vector<std::u16string>{u"SA", u"SC"}));
  const PhoneRecord c = phones().at(u"SC");
  PhoneRecord expected = ZeroPhoneRecord();
  CopyField(expected.device_key, kKeyC);
  CopyField(expected.serial, std::u16string(u"SC"));
  CopyField(expected.name, std::u16string(u"C"));
  expected.time_stamp = kNow;
  EXPECT_EQ(std::memcmp(&c, &expected, sizeof(PhoneRecord)), 0);
  EXPECT_EQ(FieldText(phones().at(u"SA").pack), u"pkA");
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, true}, {kKeyB, false}, {kKeyC, true}}));
}

TEST_F(IdentifyTest, CandidatesWithoutDriverIdTakeNoPart) {
  Serve(Section("04e8_6860", "Galaxy"));
  AddAdb(u"vid_1234&pid_5678", u"ADBSHORT");
  DeviceList output = Identify({Device(u"VID_12&PID_34", u"ADBSHORT"), Device(kKeyA, u"S1")});
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"S1"});
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyA, true}}));

  // Only unusable keys: the request goes out, the reply file is removed, nothing changes.
  output = Identify({Device(u"VID_12&PID_34", u"ADBSHORT")});
  EXPECT_TRUE(output.empty());
  EXPECT_EQ(DriverRequests().back(), kGetDriver);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(models().size(), 1u);
}

TEST_F(IdentifyTest, BadRepliesAreReadWithoutHarm) {
  // Duplicate sections: the first one counts.
  Serve(Section("04e8_6860", "first") + Section("04e8_6860", "second"));
  DeviceList output = Identify({Device(kKeyA, u"S1")});
  EXPECT_EQ(FieldText(phones().at(u"S1").name), u"first");

  // A binary blob holds no section.
  std::string blob;
  for (int i = 0; i < 2000; ++i) blob.push_back(static_cast<char>((i * 37) & 0xFF));
  Serve(blob);
  output = Identify({Device(kKeyB, u"S2")});
  EXPECT_TRUE(output.empty());
  EXPECT_FALSE(models().at(kKeyB));

  // UTF-16 with a byte-order mark.
  std::u16string text = u"[2717_ff48]\r\nUID=9\r\nName=Redmi Ñ\r\n";
  Serve(conformance::Utf16Bytes(text, false));
  output = Identify({Device(kKeyC, u"S3")});
  EXPECT_EQ(FieldText(phones().at(u"S3").name), u"Redmi Ñ");
  EXPECT_TRUE(TempFiles().empty());
}

// A full drive cuts the reply file: the lost section must not mark its model unknown.
TEST_F(IdentifyTest, ReplyCutByAFullDriveIsNoReply) {
  Serve(Section("04e8_6860", "Galaxy") + Section("18d1_4ee7", "Pixel"));
  AddAdb(u"vid_04e8&pid_6860", u"S1");
  fake_.Lock()->write_limit = Section("04e8_6860", "Galaxy").size();
  DeviceList output = Identify({Device(kKeyA, u"S1"), Device(kKeyB, u"S2")});
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"S1"});
  EXPECT_TRUE(phones().empty());
  EXPECT_TRUE(models().empty());
  EXPECT_EQ(Reports().size(), 1u);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(IdentifyTest, OneMebibyteReplyIsReadAndALargerOneRefused) {
  std::string padding = "; " + std::string(100, 'p') + "\r\n";
  std::string big;
  while (big.size() + padding.size() < (1u << 20) - 64) big += padding;
  big += Section("04e8_6860", "Big");
  big += std::string((1u << 20) - big.size(), '\n');
  ASSERT_EQ(big.size(), 1u << 20);
  Serve(big);
  DeviceList output = Identify({Device(kKeyA, u"S1")});
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"S1"});
  EXPECT_EQ(FieldText(phones().at(u"S1").name), u"Big");

  Serve(big + "\n");
  output = Identify({Device(kKeyA, u"S2")});
  EXPECT_TRUE(output.empty());
  EXPECT_FALSE(phones().count(u"S2"));
}

TEST_F(IdentifyTest, SlowServiceIsAbandonedAtTheLimit) {
  fake_.Lock()->http = [](const std::u16string& url) {
    FakeHttpReply reply = Reply(Section("04e8_6860", "late"));
    if (url.find(u"getDriver") != std::u16string::npos) reply.delay_ms = 1500;
    return reply;
  };
  AddAdb(u"vid_04e8&pid_6860", u"S1");
  auto start = Clock::now();
  DeviceList output = Identify({Device(kKeyA, u"S1"), Device(kKeyB, u"S2")});
  EXPECT_LT(MillisecondsSince(start), 1200);
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"S1"});
  EXPECT_EQ(Reports().size(), 1u);
  // Past the moment the reply would have arrived, no reply file has appeared.
  std::this_thread::sleep_until(start + std::chrono::milliseconds(1800));
  fake_.JoinDetached();
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_TRUE(phones().empty());
  EXPECT_TRUE(models().empty());
}

class IdentifyRealLimitTest : public IdentifyTest {
 protected:
  IdentifyRealLimitTest() : IdentifyTest(ServiceTimings().download_limit_ms) {}
};

TEST_F(IdentifyRealLimitTest, PassReturnsAfterTenSeconds) {
  fake_.Lock()->http = [](const std::u16string& url) {
    FakeHttpReply reply = Reply(Section("04e8_6860", "late"));
    if (url.find(u"getDriver") != std::u16string::npos) reply.delay_ms = 15000;
    return reply;
  };
  AddAdb(u"vid_04e8&pid_6860", u"S1");
  auto start = Clock::now();
  DeviceList output = Identify({Device(kKeyA, u"S1")});
  int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 9900);
  EXPECT_LT(elapsed, 13000);
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"S1"});
  EXPECT_EQ(Reports().size(), 1u);
  fake_.JoinDetached();
  EXPECT_TRUE(TempFiles().empty());
}

// --- the unidentified device report ------------------------------------------------------------

TEST_F(IdentifyTest, ReportCarriesTheIdsAndThreeAbsentDescriptions) {
  Serve("");
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(u"VID_04e8&PID_6860");
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(u"PID_6860&VID_04");  // the key ends sooner
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(u"VID_04&PID_6");     // four units whatever they are
  std::vector<std::u16string> reports = Reports();
  std::sort(reports.begin(), reports.end());  // each report runs on a thread of its own
  EXPECT_EQ(reports,
            (std::vector<std::u16string>{
                kBase + u"/intf/f72?vid=04&P&pid=6&desc1=(null)&desc2=(null)&desc3=(null)",
                kBase + u"/intf/f72?vid=04&pid=6860&desc1=(null)&desc2=(null)&desc3=(null)",
                kBase + u"/intf/f72?vid=04e8&pid=6860&desc1=(null)&desc2=(null)&desc3=(null)"}));
}

TEST_F(IdentifyTest, ReportNeedsBothMarkersInUpperCase) {
  Serve("");
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(u"");
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(u"VID_04e8");
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(u"vid_04e8&pid_6860");
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(u"VID_04e8&pid_6860");
  EXPECT_TRUE(Reports().empty());
  EXPECT_EQ(fake_.detached_started(), 0);
}

TEST_F(IdentifyTest, ReportIgnoresWhateverTheServiceAnswers) {
  ServiceDown();
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(kKeyA);
  {
    auto script = fake_.Lock();  // the first report's thread reads it
    script->http = [](const std::u16string&) {
      FakeHttpReply reply;
      reply.content_length = u"4294967296";
      return reply;
    };
  }
  service_.CoreForTesting()->identifier.ReportUnidentifiedDevice(kKeyB);
  EXPECT_EQ(Reports().size(), 2u);
  EXPECT_TRUE(models().empty());
  EXPECT_TRUE(phones().empty());
}

// --- refreshing one phone ------------------------------------------------------------------------

// What RefreshDriverInfo asks for kKeyA.
const std::u16string kRefreshUrl = kGetDriver + u"04e8_6860";

class RefreshTest : public IdentifyTest {
 protected:
  // The service answers the refresh of kKeyA with body (with no answer at all unless ok), and
  // every other request as Serve set up.
  void ServeSync(const std::string& body, bool ok = true) {
    ServeRefresh([this, body, ok] {
      reply_file_existed_ = !TempFiles().empty();
      FakeHttpReply reply = Reply(body);
      reply.handle = ok;
      return reply;
    });
  }
  void ServeRefresh(std::function<FakeHttpReply()> refresh) {
    std::function<FakeHttpReply(const std::u16string&)> others = fake_.Lock()->http;
    fake_.Lock()->http = [refresh, others](const std::u16string& url) {
      if (url == kRefreshUrl) return refresh();
      return others ? others(url) : Reply("ok");
    };
  }
  static PhoneRecord HostRecord(const std::u16string& key, const std::u16string& serial) {
    PhoneRecord record = MakePhoneRecord(key, serial);
    record.time_stamp = 42;
    record.adb_status = 2;
    return record;
  }
  PhoneRecord Cached(const std::string& vendor_image = "v", const std::string& guid = "g") {
    PhoneRecord record = HostRecord(kKeyA, u"S1");
    CopyField(record.name, std::u16string(u"Galaxy"));
    CopyField(record.vendor_image_url, U(vendor_image));
    CopyField(record.driver_guid, U(guid));
    record.time_stamp = 7;
    return record;
  }
  static std::string Body(const std::string& vendor_image = "v", const std::string& guid = "g") {
    return Section("04e8_6860", "Galaxy",
                   "VendorImageUrl=" + vendor_image + "\r\nGUID=" + guid + "\r\n");
  }
  std::vector<std::u16string> SyncDownloads() {
    auto script = fake_.Lock();
    std::vector<std::u16string> urls;
    for (const std::u16string& url : script->requested_urls) {
      if (url == kRefreshUrl) urls.push_back(url);
    }
    return urls;
  }
};

TEST_F(RefreshTest, BadRecordsAreRefusedWithoutARequest) {
  ServeSync(Body());
  EXPECT_EQ(service_.RefreshDriverInfo(nullptr), 0);
  PhoneRecord short_key = HostRecord(u"VID_04e8&PID_686", u"S1");
  EXPECT_EQ(service_.RefreshDriverInfo(&short_key), 0);
  PhoneRecord no_pid = HostRecord(u"VID_04e8&QID_6860", u"S1");
  EXPECT_EQ(service_.RefreshDriverInfo(&no_pid), 0);
  PhoneRecord lower = HostRecord(u"vid_04e8&pid_6860", u"S1");
  EXPECT_EQ(service_.RefreshDriverInfo(&lower), 0);
  EXPECT_TRUE(SyncDownloads().empty());
}

TEST_F(RefreshTest, UncachedPhoneGetsFreshInformation) {
  fake_.SetFile(ReplyPath(u"!lr", u"00000001"), "[04e8_6860]\r\nUID=1\r\nName=stale\r\n");
  ServeSync(Body("new-vendor"));
  PhoneRecord record = HostRecord(kKeyA, u"S1");
  EXPECT_EQ(service_.RefreshDriverInfo(&record), 1);
  EXPECT_EQ(SyncDownloads(), std::vector<std::u16string>{kGetDriver + u"04e8_6860"});
  EXPECT_FALSE(reply_file_existed_);  // deleted before the download
  EXPECT_EQ(FieldText(record.name), u"Galaxy");
  EXPECT_EQ(FieldText(record.vendor_image_url), u"new-vendor");
  EXPECT_EQ(record.time_stamp, 42);
  EXPECT_TRUE(phones().empty());
  EXPECT_TRUE(TempFiles().empty());  // the reply is removed once read
}

TEST_F(RefreshTest, FailedDownloadOrSectionGivesZero) {
  ServeSync(Body(), false);
  PhoneRecord record = HostRecord(kKeyA, u"S1");
  EXPECT_EQ(service_.RefreshDriverInfo(&record), 0);
  EXPECT_EQ(FieldText(record.name), u"");

  ServeSync("[04e8_6860]\r\nUID=1\r\nDescription=d\r\n");  // no Name
  CopyField(record.name, std::u16string(u"old"));
  EXPECT_EQ(service_.RefreshDriverInfo(&record), 0);
  EXPECT_EQ(FieldText(record.name), u"");  // emptied by the failed read
  EXPECT_EQ(FieldText(record.description), u"");
}

TEST_F(RefreshTest, UnchangedInformationLeavesTheCacheAlone) {
  service_.CoreForTesting()->store.PutPhoneForTesting(u"S1", Cached());
  ServeSync(Body());
  PhoneRecord record = HostRecord(kKeyA, u"S1");
  EXPECT_EQ(service_.RefreshDriverInfo(&record), 0);
  EXPECT_EQ(FieldText(record.name), u"Galaxy");  // the host's record is refreshed all the same
  const PhoneRecord expected = Cached();
  EXPECT_EQ(std::memcmp(&phones().at(u"S1"), &expected, sizeof(PhoneRecord)), 0);
}

TEST_F(RefreshTest, ChangedVendorImageReplacesTheCachedRecord) {
  service_.CoreForTesting()->store.PutPhoneForTesting(u"S1", Cached("old"));
  ServeSync(Body("new"));
  PhoneRecord record = HostRecord(kKeyA, u"S1");
  EXPECT_EQ(service_.RefreshDriverInfo(&record), 1);
  PhoneRecord expected = record;
  expected.time_stamp = kNow;
  EXPECT_EQ(std::memcmp(&phones().at(u"S1"), &expected, sizeof(PhoneRecord)), 0);
  EXPECT_EQ(record.time_stamp, 42);
}

TEST_F(RefreshTest, ChangedGuidAloneIsNotStored) {
  service_.CoreForTesting()->store.PutPhoneForTesting(u"S1", Cached("v", "old-guid"));
  ServeSync(Body("v", "new-guid"));
  PhoneRecord record = HostRecord(kKeyA, u"S1");
  EXPECT_EQ(service_.RefreshDriverInfo(&record), 0);
  EXPECT_EQ(FieldText(record.driver_guid), u"new-guid");
  EXPECT_EQ(FieldText(phones().at(u"S1").driver_guid), u"old-guid");
  EXPECT_EQ(phones().at(u"S1").time_stamp, 7);
}

// A refresh held up by a hung service: the scan thread's pass goes on meanwhile, and a second
// refresh gives up at its own limit instead of queueing behind the first.
TEST_F(RefreshTest, HungRefreshHoldsUpNeitherThePassNorASecondRefreshBeyondItsLimit) {
  ServiceTimings timings = Timings(300);
  timings.refresh_limit_ms = 400;
  MobileInfoService service(fake_, timings, kBase);
  service.CoreForTesting()->identifier.SetSystem(5, 2);
  Serve(Section("18d1_4ee7", "Pixel"));
  std::mutex mutex;
  std::condition_variable cv;
  bool entered = false, release = false;
  ServeRefresh([&] {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });  // a backend that ignores its limit
    return Reply(Body());
  });
  PhoneRecord first = HostRecord(kKeyA, u"S1");
  std::thread host([&] { service.RefreshDriverInfo(&first); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return entered; }));
  }
  auto pass = std::async(std::launch::async, [&] {
    DeviceList output;
    service.CoreForTesting()->identifier.IdentifyNewDevicesForTesting({Device(kKeyB, u"P1")}, output);
    return output.size();
  });
  const bool pass_done = pass.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  const auto start = Clock::now();
  PhoneRecord second = HostRecord(kKeyA, u"S2");
  const int32_t second_result = service.RefreshDriverInfo(&second);
  const int64_t waited = MillisecondsSince(start);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  cv.notify_all();
  host.join();
  fake_.JoinDetached();  // the abandoned downloads wait on this test's locals
  ASSERT_TRUE(pass_done) << "the pass waited for the refresh";
  EXPECT_EQ(pass.get(), 1u);
  EXPECT_EQ(second_result, 0);
  EXPECT_LT(waited, 3000);
  auto script = fake_.Lock();
  ASSERT_EQ(script->requested_urls.size(), script->request_limits.size());
  int refreshes = 0;
  for (size_t i = 0; i < script->requested_urls.size(); ++i) {
    if (script->requested_urls[i] != kRefreshUrl) continue;
    ++refreshes;
    EXPECT_LE(script->request_limits[i], 400u);  // the download gets what is left of the limit
  }
  EXPECT_GE(refreshes, 1);
}

// A host thread refreshing while the scan thread identifies: each must read its own reply.
TEST_F(RefreshTest, RefreshAndPassDoNotShareAReplyFile) {
  Serve(Section("18d1_4ee7", "Pixel"));
  ServeRefresh([] {
    FakeHttpReply reply = Reply(Body("refresh"));
    reply.delay_ms = 2;  // widen the window
    return reply;
  });
  constexpr int kRounds = 25;
  std::atomic<int> refreshed{0};
  std::thread host([&] {
    for (int i = 0; i < kRounds; ++i) {
      PhoneRecord record = HostRecord(kKeyA, U("H" + std::to_string(i)));
      if (service_.RefreshDriverInfo(&record) == 1 &&
          FieldText(record.vendor_image_url) == u"refresh") {
        ++refreshed;
      }
    }
  });
  int identified = 0;
  for (int i = 0; i < kRounds; ++i) {
    DeviceList output = Identify({Device(kKeyB, U("P" + std::to_string(i)))});
    if (output.size() == 1) ++identified;
  }
  host.join();
  EXPECT_EQ(refreshed, kRounds);
  EXPECT_EQ(identified, kRounds);
  EXPECT_EQ(phones().size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(models(), (ModelStatusMap{{kKeyB, true}}));
}

}  // namespace
}  // namespace mobileinfo
