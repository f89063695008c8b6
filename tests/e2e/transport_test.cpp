// The library's HTTP road against the real driver-information test service on 127.0.0.1: the
// getDriver request and its INI reply through the identification pass and the driver refresh,
// the unidentified device report, the bounded download, and every way the service can be told
// to misbehave. The platform is the real backend of the build: libcurl natively, WinINet under
// Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_models.h"
#include "eventually.h"
#include "net/net_internal.h"
#include "recording_sink.h"
#include "record_expect.h"
#include "records.h"
#include "model/phone_record.h"
#include "service/service.h"
#include "support/text.h"
#include "test_service.h"

namespace mobileinfo {
namespace {

using e2e::CatalogueModel;
using e2e::ExpectedRecord;
using e2e::ExpectSameRecord;
using e2e::kKestrelNote3;
using e2e::kNimbus5;
using e2e::kOrcaX2;
using e2e::kTernMini;
using e2e::ServiceControl;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kShortLimitMs = 2000;
constexpr uint32_t kShortRefreshLimitMs = 3000;
// A detached report thread may start late on a loaded machine.
constexpr milliseconds kReportWait{15000};

int32_t Now() { return Platform::Default().Now(); }

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = e2e::RequireSharedService(0);
    if (!control_) return;
    ASSERT_TRUE(control_->SetMode("normal"));
    ASSERT_TRUE(control_->ClearLog());
    Platform& platform = Platform::Default();
    // Init reads the phone cache of the host directory; earlier runs must not seed the maps.
    for (const char16_t* name : {u"MobileInfo1.dat", u"MobileInfo2.dat"}) {
      platform.DeleteFile(platform.HostDirectory() + platform.PathSeparator() + name);
    }
    service_ = MakeService(control_->port(), kShortLimitMs);
  }

  void TearDown() override {
    if (control_) control_->SetMode("normal");
  }

  std::unique_ptr<MobileInfoService> MakeService(int port, uint32_t limit_ms) {
    return MakeServiceAt("http://127.0.0.1:" + std::to_string(port), limit_ms);
  }

  std::unique_ptr<MobileInfoService> MakeServiceAt(const std::string& base, uint32_t limit_ms) {
    ServiceTimings timings;
    timings.download_limit_ms = limit_ms;
    timings.refresh_limit_ms = kShortRefreshLimitMs;
    auto service = std::make_unique<MobileInfoService>(Platform::Default(), timings,
                                                       Utf8ToUtf16(base));
    // Init takes the OS and bitness codes the requests carry.
    EXPECT_EQ(service->Init(&sink_, 1), 1);
    return service;
  }

  std::string GetDriverLine(const std::string& ids) {
    return "GET /intf/getDriver?os=" + std::to_string(service_->CoreForTesting()->identifier.os_code()) +
           "&bit=" + std::to_string(service_->CoreForTesting()->identifier.bitness_code()) + "&id=" + ids;
  }

  static std::string ReportLine(const std::string& vid, const std::string& pid) {
    return "GET /intf/f72?vid=" + vid + "&pid=" + pid +
           "&desc1=(null)&desc2=(null)&desc3=(null)";
  }

  // The ORCA-1 phone has an active ADB interface.
  void MarkOrcaAsAdb() {
    AdbRecord adb{};
    CopyField(adb.device_key, u"vid_04e8&pid_6a21");
    CopyField(adb.adb_serial, u"ORCA-1");
    adb.state = kAdbActive;
    AdbMap devices = service_->CoreForTesting()->adb.DevicesForTesting();
    devices[u"ORCA-1"] = adb;
    service_->CoreForTesting()->adb.ReplaceForTesting(devices);
  }
  // One pass over a Nimbus 5 and an ADB-ready Orca X2, the Orca marked as ADB first; how long
  // it took.
  Clock::duration PassOverNimbusAndOrca(DeviceList& output) {
    MarkOrcaAsAdb();
    const auto start = Clock::now();
    service_->CoreForTesting()->identifier.IdentifyNewDevicesForTesting(
        {Device(kNimbus5.device_key, u"NIMBUS-1"), Device(kOrcaX2.device_key, u"ORCA-1")}, output);
    return Clock::now() - start;
  }

  // An id that no process has (beyond Linux's pid_max and Windows' process ids), of this test
  // program's own, for the files a killed process would have left.
  static uint32_t EndedProcess() {
    return 0x7F000000u | (Platform::Default().ProcessId() & 0xFFFFFF);
  }
  static std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
  }

  // The temporary folder's reply files of this process (of either request form, with whatever
  // a backend writes beside them while downloading) and of EndedProcess(); other programs may
  // share the folder.
  static std::set<std::string> LibraryTempEntries() {
    std::set<std::string> entries;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(Platform::Default().TempDirectory()), ignored)) {
      const std::string name = entry.path().filename().string();
      for (const uint32_t process : {Platform::Default().ProcessId(), EndedProcess()}) {
        for (const char* prefix : {"!ly", "!lr"}) {
          if (name.rfind(prefix + Hex8(process), 0) == 0) entries.insert(name);
        }
      }
    }
    return entries;
  }
  static bool ReplyFileExists() { return !LibraryTempEntries().empty(); }

  const ServiceControl* control_ = nullptr;
  RecordingSink sink_;
  std::unique_ptr<MobileInfoService> service_;
};

// --- the identification pass --------------------------------------------------------------------

TEST_F(TransportTest, OnePassAsksOnceForAllCandidatesAndStoresTheReply) {
  const DeviceList candidates = {Device(kNimbus5.device_key, u"NIMBUS-1"),
                                 Device(kOrcaX2.device_key, u"ORCA-1"),
                                 Device(u"VID_1234&PID_5678", u"UNKNOWN-1"),
                                 Device(kKestrelNote3.device_key, u"KESTREL-1")};
  DeviceList output;
  const int32_t before = Now();
  service_->CoreForTesting()->identifier.IdentifyNewDevicesForTesting(candidates, output);
  const int32_t after = Now();

  EXPECT_EQ(control_->Log(),
            std::vector<std::string>{GetDriverLine("18d1_4f3a,04e8_6a21,1234_5678,2717_ff6e")});
  EXPECT_EQ(Serials(output),
            (std::vector<std::u16string>{u"NIMBUS-1", u"ORCA-1", u"KESTREL-1"}));

  PhoneInfoMap info = service_->CoreForTesting()->store.PhonesForTesting();
  ASSERT_EQ(info.size(), 3u);
  for (const auto& [serial, model] :
       {std::pair<std::u16string, const CatalogueModel*>{u"NIMBUS-1", &kNimbus5},
        {u"ORCA-1", &kOrcaX2},
        {u"KESTREL-1", &kKestrelNote3}}) {
    SCOPED_TRACE(e2e::Narrow(serial));
    ASSERT_EQ(info.count(serial), 1u);
    const PhoneRecord& stored = info[serial];
    EXPECT_GE(stored.time_stamp, before);
    EXPECT_LE(stored.time_stamp, after);
    PhoneRecord expected = ExpectedRecord(*model, serial, stored.time_stamp);
#if defined(_WIN32)
    // GetPrivateProfileStringW reads a reply without byte-order mark in the system code page,
    // so the service's UTF-8 text outside ASCII does not survive; see the UTF-16 test.
    if (model == &kKestrelNote3) e2e::PutField(expected.description, FieldText(stored.description));
#endif
    ExpectSameRecord(stored, expected);
  }
  EXPECT_EQ(service_->CoreForTesting()->store.ModelsForTesting(),
            (ModelStatusMap{{kNimbus5.device_key, true},
                            {kOrcaX2.device_key, true},
                            {u"VID_1234&PID_5678", false},
                            {kKestrelNote3.device_key, true}}));
  EXPECT_FALSE(ReplyFileExists());
}

TEST_F(TransportTest, QueryCarriesOnlyUsableKeysAndIsSentEvenWithNone) {
  DeviceList output;
  // A key shorter than 17 units last: no trailing ",".
  service_->CoreForTesting()->identifier.IdentifyNewDevicesForTesting(
      {Device(kTernMini.device_key, u"TERN-1"), Device(u"VID_1&PID_2", u"SHORT-1")}, output);
  // Keys without the markers only: the request goes out with "id=" empty.
  service_->CoreForTesting()->identifier.IdentifyNewDevicesForTesting({Device(u"USB\\ROOT_HUB20&X&Y", u"HUB-1"),
                                Device(u"vid_18d1&pid_4f3a", u"LOWER-1")},
                               output);
  EXPECT_EQ(control_->Log(),
            (std::vector<std::string>{GetDriverLine("2a70_9e11"), GetDriverLine("")}));
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"TERN-1"});
  EXPECT_FALSE(ReplyFileExists());
}

TEST_F(TransportTest, UrlLongerThan2047UnitsIsCutBeforeTheRequest) {
  DeviceList candidates;
  for (int i = 0; i < 230; ++i) {
    candidates.push_back(Device(kNimbus5.device_key, u"N-" + Utf8ToUtf16(std::to_string(i))));
  }
  std::string ids;
  for (int i = 0; i < 230; ++i) ids += (i ? "," : "") + std::string("18d1_4f3a");
  const std::string base = "http://127.0.0.1:" + std::to_string(control_->port());
  const std::string full_url = GetDriverLine(ids).substr(4).insert(0, base);
  ASSERT_GT(full_url.size(), 2047u);
  DeviceList output;
  service_->CoreForTesting()->identifier.IdentifyNewDevicesForTesting(candidates, output);
  EXPECT_EQ(control_->Log(), std::vector<std::string>{"GET " + full_url.substr(base.size(),
                                                                               2047 - base.size())});
  // Every candidate carries the one model the cut query still names.
  EXPECT_EQ(output.size(), 230u);
  EXPECT_EQ(service_->CoreForTesting()->store.PhonesForTesting().size(), 230u);
}

TEST_F(TransportTest, Utf16ReplyWithByteOrderMarkIsReadAsUtf16) {
  ASSERT_TRUE(control_->SetMode("utf16"));
  DeviceList output;
  service_->CoreForTesting()->identifier.IdentifyNewDevicesForTesting({Device(kKestrelNote3.device_key, u"KESTREL-1"),
                                Device(kNimbus5.device_key, u"NIMBUS-1")},
                               output);
  EXPECT_EQ(Serials(output), (std::vector<std::u16string>{u"KESTREL-1", u"NIMBUS-1"}));
  PhoneInfoMap info = service_->CoreForTesting()->store.PhonesForTesting();
  ASSERT_EQ(info.size(), 2u);
  ExpectSameRecord(info[u"KESTREL-1"],
                   ExpectedRecord(kKestrelNote3, u"KESTREL-1", info[u"KESTREL-1"].time_stamp));
  ExpectSameRecord(info[u"NIMBUS-1"],
                   ExpectedRecord(kNimbus5, u"NIMBUS-1", info[u"NIMBUS-1"].time_stamp));
  EXPECT_FALSE(ReplyFileExists());
}

// A service answer that yields no reply file: the pass gives up within the limit, publishes the
// Android device, reports it on the f72 endpoint, leaves both maps alone, and no reply file
// appears later.
struct NoReplyCase {
  const char* mode;
  const char* extra;
  int server_delay_ms;  // when the service would have answered
};

class NoReplyFileTest : public TransportTest, public ::testing::WithParamInterface<NoReplyCase> {};

TEST_P(NoReplyFileTest, PassEndsWithinTheLimitAndReportsTheAdbDevice) {
  const NoReplyCase& c = GetParam();
  ASSERT_TRUE(control_->SetMode(c.mode, c.extra));
  DeviceList output;
  const auto start = Clock::now();
  const auto elapsed = PassOverNimbusAndOrca(output);

  EXPECT_LT(elapsed, milliseconds(kShortLimitMs + 3000));
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"ORCA-1"});
  EXPECT_TRUE(service_->CoreForTesting()->store.PhonesForTesting().empty());
  EXPECT_TRUE(service_->CoreForTesting()->store.ModelsForTesting().empty());
  EXPECT_TRUE(control_->WaitForLogLine(ReportLine("04e8", "6a21"), kReportWait));
  std::vector<std::string> log = control_->Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), GetDriverLine("18d1_4f3a,04e8_6a21")), 1);
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.find("/intf/f72") != line.npos; }),
            1)
      << "only the Android device is reported";

  // Past the moment the service would have answered, the abandoned download has written nothing.
  if (c.server_delay_ms > 0) {
    std::this_thread::sleep_until(start + milliseconds(c.server_delay_ms + 1000));
  }
  EXPECT_FALSE(ReplyFileExists());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, NoReplyFileTest,
    ::testing::Values(NoReplyCase{"no-content-length", "", 0}, NoReplyCase{"close", "", 0},
                      NoReplyCase{"error-page", "", 0},  // 500 with a Content-Length
                      NoReplyCase{"huge-length", "", 0},                      // 2147483647
                      NoReplyCase{"huge-length", "&length=1048577", 0},       // 1 MiB + 1
                      NoReplyCase{"huge-length", "&length=4294967286", 0},    // + 10 wraps 2^32
                      NoReplyCase{"slow", "&delay_ms=3500", 3500}),
    [](const ::testing::TestParamInfo<NoReplyCase>& info) {
      std::string name = std::string(info.param.mode) + info.param.extra;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// A reply file that holds no section (a binary blob served as a 200): nothing is identified, the
// unknown model is remembered, the Android device is still published, and nothing is reported.
class SectionlessReplyTest : public TransportTest,
                             public ::testing::WithParamInterface<NoReplyCase> {};

TEST_P(SectionlessReplyTest, UnknownModelMarkedAndAdbDevicePublished) {
  ASSERT_TRUE(control_->SetMode(GetParam().mode, GetParam().extra));
  DeviceList output;
  PassOverNimbusAndOrca(output);
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"ORCA-1"});
  EXPECT_TRUE(service_->CoreForTesting()->store.PhonesForTesting().empty());
  EXPECT_EQ(service_->CoreForTesting()->store.ModelsForTesting(), (ModelStatusMap{{kNimbus5.device_key, false}}));
  EXPECT_FALSE(ReplyFileExists());
  // A report would have been started before the pass returned; give it time to arrive.
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(control_->Log(), std::vector<std::string>{GetDriverLine("18d1_4f3a,04e8_6a21")});
}

INSTANTIATE_TEST_SUITE_P(Modes, SectionlessReplyTest,
                         ::testing::Values(NoReplyCase{"binary", "", 0},
                                           NoReplyCase{"binary", "&length=1048576", 0}),
                         [](const ::testing::TestParamInfo<NoReplyCase>& info) {
                           return std::string(info.param.extra[0] ? "binary_1MiB" : "binary");
                         });

TEST_F(TransportTest, TruncatedReplyStoresNothingCutFromIt) {
  ASSERT_TRUE(control_->SetMode("truncated"));
  DeviceList output;
  EXPECT_LT(PassOverNimbusAndOrca(output), milliseconds(kShortLimitMs + 3000));
  // The Android device is published whatever arrived.
  std::vector<std::u16string> serials = Serials(output);
  EXPECT_NE(std::find(serials.begin(), serials.end(), u"ORCA-1"), serials.end());
  EXPECT_FALSE(ReplyFileExists());
  // The half that arrives ends inside the first section ("Pack=nimbus-usb-"): a body shorter than
  // its Content-Length is no reply, and nothing cut from it may be stored (and cached for days).
  PhoneInfoMap info = service_->CoreForTesting()->store.PhonesForTesting();
  if (info.count(u"NIMBUS-1")) {
    ExpectSameRecord(info[u"NIMBUS-1"],
                     ExpectedRecord(kNimbus5, u"NIMBUS-1", info[u"NIMBUS-1"].time_stamp));
  }
  EXPECT_EQ(info.count(u"ORCA-1"), 0u) << "its section was not in the reply";
}

TEST_F(TransportTest, UnreachableServiceStillPublishesTheAdbDevice) {
  // Port 1 on the loopback: nothing listens there, the connection is refused at once.
  service_ = MakeService(1, kShortLimitMs);
  DeviceList output;
  EXPECT_LT(PassOverNimbusAndOrca(output), milliseconds(kShortLimitMs + 3000));
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"ORCA-1"});
  EXPECT_TRUE(service_->CoreForTesting()->store.ModelsForTesting().empty());
  EXPECT_FALSE(ReplyFileExists());
}

// --- https ------------------------------------------------------------------------------------


// The service address may be https: the certificate chain and the host name are checked, and a
// certificate that fails either is no reply at all; nor is a redirect down to http.
struct HttpsCase {
  const char* name;
  const char* host;
  bool stranger;  // the self-signed certificate instead of the test authority's
  bool identified;
  const char* path = "";  // of the service address
};

class HttpsTest : public TransportTest, public ::testing::WithParamInterface<HttpsCase> {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    std::string why;
    front_ = e2e::SharedTlsFront(&why);
#if defined(_WIN32)
    if (!front_) GTEST_SKIP() << why;
#else
    ASSERT_NE(front_, nullptr) << why;
#endif
  }

  const e2e::TlsFront* front_ = nullptr;
};

TEST_P(HttpsTest, PhoneIsIdentifiedOnlyThroughACertificateThatHoldsForTheHost) {
  const HttpsCase& c = GetParam();
  const int port = c.stranger ? front_->stranger_port : front_->trusted_port;
  service_ = MakeServiceAt(
      "https://" + std::string(c.host) + ":" + std::to_string(port) + c.path, kShortLimitMs);
  DeviceList output;
  service_->CoreForTesting()->identifier.IdentifyNewDevicesForTesting({Device(kNimbus5.device_key, u"NIMBUS-1")},
                                                  output);
  if (c.identified) {
    EXPECT_EQ(control_->Log(), std::vector<std::string>{GetDriverLine("18d1_4f3a")});
    EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"NIMBUS-1"});
    PhoneInfoMap info = service_->CoreForTesting()->store.PhonesForTesting();
    ASSERT_EQ(info.count(u"NIMBUS-1"), 1u);
    ExpectSameRecord(info[u"NIMBUS-1"],
                     ExpectedRecord(kNimbus5, u"NIMBUS-1", info[u"NIMBUS-1"].time_stamp));
  } else {
    // Refused before any request reached the service; nothing is marked unknown.
    EXPECT_TRUE(control_->Log().empty()) << ::testing::PrintToString(control_->Log());
    EXPECT_TRUE(output.empty());
    EXPECT_TRUE(service_->CoreForTesting()->store.PhonesForTesting().empty());
    EXPECT_TRUE(service_->CoreForTesting()->store.ModelsForTesting().empty());
  }
  EXPECT_FALSE(ReplyFileExists());
}

INSTANTIATE_TEST_SUITE_P(Certificates, HttpsTest,
                         ::testing::Values(HttpsCase{"TestAuthority", "localhost", false, true},
                                           HttpsCase{"SelfSigned", "localhost", true, false},
                                           HttpsCase{"OtherHostName", "127.0.0.1", false, false},
                                           HttpsCase{"RedirectToHttp", "localhost", false, false,
                                                     "/_to-http"}),
                         [](const ::testing::TestParamInfo<HttpsCase>& info) {
                           return std::string(info.param.name);
                         });

// The one test with the production limit of 10 000 ms.
TEST_F(TransportTest, SlowServiceIsAbandonedAtTheRealTenSecondLimit) {
  service_ = MakeService(control_->port(), ServiceTimings().download_limit_ms);
  ASSERT_EQ(ServiceTimings().download_limit_ms, 10000u);
  ASSERT_TRUE(control_->SetMode("slow", "&delay_ms=11500"));
  DeviceList output;
  const auto start = Clock::now();
  const auto elapsed = PassOverNimbusAndOrca(output);
  EXPECT_GE(elapsed, milliseconds(9000));
  EXPECT_LT(elapsed, milliseconds(14000));
  EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"ORCA-1"});
  EXPECT_TRUE(control_->WaitForLogLine(ReportLine("04e8", "6a21"), kReportWait));
  std::this_thread::sleep_until(start + milliseconds(12500));
  EXPECT_FALSE(ReplyFileExists());
}

// --- the unidentified device report ----------------------------------------------------------------

TEST_F(TransportTest, ReportCarriesVendorAndProductAndThreeAbsentDescriptions) {
  service_->CoreForTesting()->identifier.ReportUnidentifiedDevice(kTernMini.device_key);
  // Fewer than four characters after "PID_" are sent as they are.
  service_->CoreForTesting()->identifier.ReportUnidentifiedDevice(u"VID_2a70&PID_9e");
  EXPECT_TRUE(control_->WaitForLogLine(ReportLine("2a70", "9e11"), kReportWait));
  EXPECT_TRUE(control_->WaitForLogLine(ReportLine("2a70", "9e"), kReportWait));
}

TEST_F(TransportTest, ReportSurvivesAnswersItCannotRead) {
  // The report's answer is thrown away; none of these may hurt the caller or the process.
  for (const char* mode : {"close", "no-content-length", "huge-length", "binary"}) {
    ASSERT_TRUE(control_->SetMode(mode));
    ASSERT_TRUE(control_->ClearLog());
    service_->CoreForTesting()->identifier.ReportUnidentifiedDevice(kOrcaX2.device_key);
    EXPECT_TRUE(control_->WaitForLogLine(ReportLine("04e8", "6a21"), kReportWait)) << mode;
  }
}

// --- the driver refresh of one phone -----------------------------------------------------------

class RefreshTest : public TransportTest {
 protected:
  PhoneRecord HostRecord(const CatalogueModel& model, const std::u16string& serial) {
    PhoneRecord record = MakePhoneRecord(model.device_key, serial);
    CopyField(record.name, u"Old name");
    record.time_stamp = 1234;
    record.adb_status = kAdbActive;
    return record;
  }
};

TEST_F(RefreshTest, FreshRecordWithoutCachedCopyIsFilledFromTheService) {
  PhoneRecord record = HostRecord(kTernMini, u"TERN-1");
  EXPECT_EQ(service_->RefreshDriverInfo(&record), 1);
  EXPECT_EQ(control_->Log(), std::vector<std::string>{GetDriverLine("2a70_9e11")});
  PhoneRecord expected = ExpectedRecord(kTernMini, u"TERN-1", 1234);
  expected.adb_status = kAdbActive;
  ExpectSameRecord(record, expected);
  EXPECT_TRUE(service_->CoreForTesting()->store.PhonesForTesting().empty());
}

TEST_F(RefreshTest, CachedCopyIsReplacedOnlyWhenAComparedFieldChanged) {
  PhoneStore& store = service_->CoreForTesting()->store;
  auto cached_copy = [&] { return store.PhonesForTesting().at(u"TERN-1"); };
  store.PutPhoneForTesting(u"TERN-1", ExpectedRecord(kTernMini, u"TERN-1", 1000));

  // Same values in the eight compared fields: nothing to store.
  PhoneRecord record = HostRecord(kTernMini, u"TERN-1");
  EXPECT_EQ(service_->RefreshDriverInfo(&record), 0);
  ExpectSameRecord(cached_copy(), ExpectedRecord(kTernMini, u"TERN-1", 1000));

  // A change in a field outside the comparison (MD5) is not stored either.
  PhoneRecord changed = cached_copy();
  CopyField(changed.md5, u"00000000000000000000000000000000");
  store.PutPhoneForTesting(u"TERN-1", changed);
  record = HostRecord(kTernMini, u"TERN-1");
  EXPECT_EQ(service_->RefreshDriverInfo(&record), 0);
  EXPECT_EQ(FieldText(cached_copy().md5), u"00000000000000000000000000000000");

  // Only the vendor image differs: the cached copy becomes the host's record, newly stamped.
  changed = cached_copy();
  CopyField(changed.vendor_image_url, u"http://images.example.com/vendors/old.png");
  store.PutPhoneForTesting(u"TERN-1", changed);
  record = HostRecord(kTernMini, u"TERN-1");
  const int32_t before = Now();
  EXPECT_EQ(service_->RefreshDriverInfo(&record), 1);
  const int32_t after = Now();
  EXPECT_EQ(record.time_stamp, 1234) << "the host's record keeps its own time stamp";
  const PhoneRecord cached = cached_copy();
  EXPECT_GE(cached.time_stamp, before);
  EXPECT_LE(cached.time_stamp, after);
  PhoneRecord expected = record;
  expected.time_stamp = cached.time_stamp;
  ExpectSameRecord(cached, expected);
  EXPECT_EQ(control_->Log(), std::vector<std::string>(3, GetDriverLine("2a70_9e11")));
}

TEST_F(RefreshTest, ReplyWithoutContentLengthServesTheSingleForm) {
  // Only the list form judges the Content-Length header; the single form takes any whole reply.
  ASSERT_TRUE(control_->SetMode("no-content-length"));
  PhoneRecord record = HostRecord(kOrcaX2, u"ORCA-1");
  EXPECT_EQ(service_->RefreshDriverInfo(&record), 1);
  EXPECT_EQ(FieldText(record.name), kOrcaX2.name);
  EXPECT_EQ(FieldText(record.pack), kOrcaX2.pack);
}

TEST_F(RefreshTest, Utf16ReplyKeepsTextOutsideAscii) {
  ASSERT_TRUE(control_->SetMode("utf16"));
  PhoneRecord record = HostRecord(kKestrelNote3, u"KESTREL-1");
  EXPECT_EQ(service_->RefreshDriverInfo(&record), 1);
  PhoneRecord expected = ExpectedRecord(kKestrelNote3, u"KESTREL-1", 1234);
  expected.adb_status = kAdbActive;
  ExpectSameRecord(record, expected);
}

TEST_F(RefreshTest, AnswersWithoutAUsableSectionLeaveTheHostRecordAlone) {
  for (const char* mode : {"error-page", "truncated", "close", "binary"}) {
    SCOPED_TRACE(mode);
    ASSERT_TRUE(control_->SetMode(mode));
    const PhoneRecord original = HostRecord(kNimbus5, u"NIMBUS-1");
    PhoneRecord record = original;
    EXPECT_EQ(service_->RefreshDriverInfo(&record), 0);
    ExpectSameRecord(record, original);
  }
  // A model the service does not know.
  ASSERT_TRUE(control_->SetMode("normal"));
  const PhoneRecord original = MakePhoneRecord(u"VID_1234&PID_5678", u"UNKNOWN-1");
  PhoneRecord record = original;
  EXPECT_EQ(service_->RefreshDriverInfo(&record), 0);
  ExpectSameRecord(record, original);
}

// --- both download forms against a hostile service ------------------------------------------------

// What the identification pass (list form) and the refresh (single form) end with.
enum class PassEnd {
  kIdentified,  // the phone is identified from its section
  kNoReply,     // no reply file: nothing stored, the model not marked
  kNoSection,   // a reply without a usable section: the model marked unknown
};
enum class RefreshEnd {
  kRefreshed,  // 1, the host's record carries the model's driver information
  kRefused,    // 0, the host's record untouched
};

struct HostileCase {
  const char* mode;
  const char* extra;
  PassEnd pass;
  RefreshEnd refresh;
};

class HostileServiceTest : public TransportTest,
                           public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileServiceTest, BothFormsEndAsDefinedWithinTheirLimitsAndLeaveNoFile) {
  const HostileCase& c = GetParam();
  ASSERT_TRUE(control_->SetMode(c.mode, c.extra));
  // What a process killed in mid-pass and mid-refresh left: the pass removes it.
  for (const char* name : {"!ly%s00000001.tmp", "!lr%s00000002.tmp.Ab12Cd"}) {
    char planted[64];
    std::snprintf(planted, sizeof planted, name, Hex8(EndedProcess()).c_str());
    std::ofstream out(
        std::filesystem::path(Platform::Default().TempDirectory() + Utf8ToUtf16(planted)),
        std::ios::binary);
    out << "[x]";
    ASSERT_TRUE(out.good()) << planted;
  }

  DeviceList output;
  auto start = Clock::now();
  service_->CoreForTesting()->identifier.IdentifyNewDevicesForTesting({Device(kNimbus5.device_key, u"NIMBUS-1")}, output);
  EXPECT_LT(Clock::now() - start, milliseconds(kShortLimitMs + 3000));
  PhoneInfoMap info = service_->CoreForTesting()->store.PhonesForTesting();
  switch (c.pass) {
    case PassEnd::kIdentified:
      EXPECT_EQ(Serials(output), std::vector<std::u16string>{u"NIMBUS-1"});
      ASSERT_EQ(info.count(u"NIMBUS-1"), 1u);
      ExpectSameRecord(info[u"NIMBUS-1"],
                       ExpectedRecord(kNimbus5, u"NIMBUS-1", info[u"NIMBUS-1"].time_stamp));
      EXPECT_EQ(service_->CoreForTesting()->store.ModelsForTesting(), (ModelStatusMap{{kNimbus5.device_key, true}}));
      break;
    case PassEnd::kNoReply:
      EXPECT_TRUE(output.empty());
      EXPECT_TRUE(info.empty());
      EXPECT_TRUE(service_->CoreForTesting()->store.ModelsForTesting().empty());
      break;
    case PassEnd::kNoSection:
      EXPECT_TRUE(output.empty());
      EXPECT_TRUE(info.empty());
      EXPECT_EQ(service_->CoreForTesting()->store.ModelsForTesting(),
                (ModelStatusMap{{kNimbus5.device_key, false}}));
      break;
  }
  EXPECT_FALSE(ReplyFileExists());

  PhoneRecord record = MakePhoneRecord(kNimbus5.device_key, u"NIMBUS-2");
  CopyField(record.name, u"Old name");
  record.time_stamp = 1234;
  const PhoneRecord original = record;
  start = Clock::now();
  const int32_t refreshed = service_->RefreshDriverInfo(&record);
  EXPECT_LT(Clock::now() - start, milliseconds(kShortRefreshLimitMs + 3000));
  if (c.refresh == RefreshEnd::kRefreshed) {
    EXPECT_EQ(refreshed, 1);
    ExpectSameRecord(record, ExpectedRecord(kNimbus5, u"NIMBUS-2", 1234));
  } else {
    EXPECT_EQ(refreshed, 0);
    ExpectSameRecord(record, original);
  }

  // A report's request, its closing included, ends within its limit whatever the answer: each
  // report holds one of the few report places until then.
  start = Clock::now();
  HttpGetAndDiscard(Platform::Default(),
                    u"http://127.0.0.1:" + Utf8ToUtf16(std::to_string(control_->port())) +
                        u"/intf/f72?vid=04e8&pid=6a21",
                    kShortLimitMs);
  EXPECT_LT(Clock::now() - start, milliseconds(kShortLimitMs + 3000));

  // Nothing of the library's is left once the calls are over (a download abandoned at its limit
  // may take a moment to clear its own file away).
  std::set<std::string> after;
  EXPECT_TRUE(Eventually([&] {
    after = LibraryTempEntries();
    return after.empty();
  })) << [&] {
    std::string names;
    for (const std::string& name : after) names += " " + name;
    return "entries now:" + names;
  }();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HostileServiceTest,
    ::testing::Values(
        HostileCase{"trickle", "&delay_ms=50", PassEnd::kNoReply, RefreshEnd::kRefused},
        HostileCase{"huge", "", PassEnd::kNoReply, RefreshEnd::kRefused},  // 2 GiB
        HostileCase{"huge", "&length=2000000000", PassEnd::kNoReply, RefreshEnd::kRefused},
        HostileCase{"huge-chunked", "", PassEnd::kNoReply, RefreshEnd::kRefused},
        HostileCase{"huge-length", "&length=2000000000", PassEnd::kNoReply, RefreshEnd::kRefused},
        HostileCase{"truncated", "", PassEnd::kNoReply, RefreshEnd::kRefused},  // body too short
#if defined(_WIN32)
        // Wine's WinINet hands out bytes past the announced end; the body is then not the
        // announced one, and the single form gives it up.
        HostileCase{"long-body", "", PassEnd::kIdentified, RefreshEnd::kRefused},
#else
        HostileCase{"long-body", "", PassEnd::kIdentified, RefreshEnd::kRefreshed},
#endif
        HostileCase{"bad-length", "&text=abc", PassEnd::kNoReply, RefreshEnd::kRefused},
        HostileCase{"bad-length", "&text=-5", PassEnd::kNoReply, RefreshEnd::kRefused},
        HostileCase{"bad-length", "&text=99999999999999999999", PassEnd::kNoReply,
                    RefreshEnd::kRefused},
        HostileCase{"bad-length", "&text=%2012", PassEnd::kNoSection, RefreshEnd::kRefused},
        HostileCase{"redirect-loop", "", PassEnd::kNoReply, RefreshEnd::kRefused},
        HostileCase{"binary", "", PassEnd::kNoSection, RefreshEnd::kRefused},
        HostileCase{"utf16", "", PassEnd::kIdentified, RefreshEnd::kRefreshed},
        HostileCase{"nuls", "", PassEnd::kNoSection, RefreshEnd::kRefused},
        HostileCase{"long-lines", "", PassEnd::kIdentified, RefreshEnd::kRefreshed},
        HostileCase{"many-sections", "", PassEnd::kIdentified, RefreshEnd::kRefreshed}),
    [](const ::testing::TestParamInfo<HostileCase>& info) {
      std::string name = std::string(info.param.mode) + info.param.extra;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name + "_" + std::to_string(info.index);
    });

// --- the bounded download ------------------------------------------------------------------------

class DownloadTest : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Platform& platform = Platform::Default();
    const char16_t sep = platform.PathSeparator();
    top_ = platform.TempDirectory() + u"mobileinfo-e2e-download-" +
           Utf8ToUtf16(std::to_string(platform.ProcessId()));
    RemoveTree();
    directory_ = top_ + sep + u"a" + sep + u"b";
    file_ = directory_ + sep + u"reply.bin";
  }
  void TearDown() override {
    RemoveTree();
    TransportTest::TearDown();
  }
  void RemoveTree() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(top_), ignored);
  }
  std::string Url(const std::string& target) {
    return "http://127.0.0.1:" + std::to_string(control_->port()) + target;
  }
  static std::string ReadBytes(const std::u16string& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  std::u16string top_, directory_, file_;
};

TEST_F(DownloadTest, BodyOfExactlyTheCeilingIsWrittenWholeIntoANewDirectoryChain) {
  ASSERT_TRUE(control_->SetMode("binary", "&length=1048576"));
  std::optional<e2e::RawReply> reference = e2e::HttpGet(control_->port(), "/intf/getDriver?id=x");
  ASSERT_TRUE(reference.has_value());
  ASSERT_EQ(reference->body.size(), 1048576u);
  EXPECT_EQ(DownloadToFile(Platform::Default(), Utf8ToUtf16(Url("/intf/getDriver?id=x")),
                           directory_, file_, 5000),
            1);
  EXPECT_TRUE(ReadBytes(file_) == reference->body) << "the file holds other bytes";
}

TEST_F(DownloadTest, BodyBeyondTheCeilingIsNeitherReadNorWritten) {
  ASSERT_TRUE(control_->SetMode("binary", "&length=1048577"));
  EXPECT_EQ(DownloadToFile(Platform::Default(), Utf8ToUtf16(Url("/intf/getDriver?id=x")),
                           directory_, file_, 5000),
            0);
  EXPECT_FALSE(Platform::Default().FileExists(file_));
}

}  // namespace
}  // namespace mobileinfo
