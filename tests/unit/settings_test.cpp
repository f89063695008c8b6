// "mobileInfo.ini" and the operating-system probes.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>

#include "fake_platform.h"
#include "platform/host_files.h"
#include "service/service.h"
#include "service/settings.h"

namespace mobileinfo {
namespace {

struct TimeoutCase {
  const char* ini;
  int32_t expected;
  int32_t result;
};

TEST(Settings, CacheTimeOutValues) {
  const TimeoutCase cases[] = {
      {"[main]\nMobileInfoCacheTimeOut=7\n", 7, 1},
      {"[main]\nMobileInfoCacheTimeOut=\n", 1, 0},
      {"[main]\nMobileInfoCacheTimeOut=abc\n", 0, 1},
      {"[main]\nMobileInfoCacheTimeOut= 12x\n", 12, 1},
      {"[main]\nMobileInfoCacheTimeOut=-3\n", -3, 1},
      {"[MAIN]\nmobileinfocachetimeout=5\n", 5, 1},
      {"[other]\nMobileInfoCacheTimeOut=5\n", 1, 0},
      {"", 1, 0},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.SetFile(u"C:\\Host\\mobileInfo.ini", c.ini);
    PhoneStore store(fake);
    EXPECT_EQ(ReadSettings(fake, store), c.result) << c.ini;
    EXPECT_EQ(store.CacheTimeoutForTesting(), c.expected) << c.ini;
  }
}

TEST(Settings, OnlyTheHostDirectoryIsRead) {
  FakePlatform fake;
  fake.Lock()->host_directory = u"C:\\Program Files\\Host";
  fake.SetFile(u"C:\\Program Files\\Host\\plugins\\mobileInfo.ini",
               "[main]\nMobileInfoCacheTimeOut=9\n");
  PhoneStore store(fake);
  EXPECT_EQ(ReadSettings(fake, store), 0);
  EXPECT_EQ(store.CacheTimeoutForTesting(), 1);
  EXPECT_EQ(HostFilePath(fake, u"MobileInfo1.dat"), u"C:\\Program Files\\Host\\MobileInfo1.dat");
}

TEST(Settings, LongLinesAndArbitraryBytesAreSafe) {
  FakePlatform fake;
  std::string ini = "[main]\nMobileInfoCacheTimeOut=" + std::string(100000, '4') + "\n";
  ini += std::string("\xff\xfe\x00garbage\x80\x81", 12) + "\n";
  fake.SetFile(u"C:\\Host\\mobileInfo.ini", ini);
  PhoneStore store(fake);
  EXPECT_EQ(ReadSettings(fake, store), 1);  // the value is cut to 259 digits and converted
}

TEST(Settings, OsCodeTable) {
  struct Case {
    std::optional<OsVersion> version;
    int32_t code;
  };
  const Case cases[] = {
      {OsVersion{2, 5, 0}, 1}, {OsVersion{2, 5, 1}, 3}, {OsVersion{2, 5, 2}, 2},
      {OsVersion{2, 6, 0}, 4}, {OsVersion{2, 6, 1}, 5}, {OsVersion{2, 6, 2}, 7},
      {OsVersion{2, 6, 3}, 0}, {OsVersion{2, 10, 0}, 0}, {OsVersion{1, 5, 1}, 0},
      {std::nullopt, 0},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.Lock()->os_version = c.version;
        EXPECT_EQ(GetOsCode(fake), c.code);
  }
}

TEST(Settings, BitnessFollowsTheNativeArchitecture) {
  struct Case {
    std::optional<uint16_t> architecture;
    int32_t is64;
  };
  for (const Case& c : {Case{uint16_t{9}, 1}, Case{uint16_t{6}, 1}, Case{uint16_t{0}, 0},
                        Case{uint16_t{12}, 0}, Case{std::nullopt, 0}}) {
    FakePlatform fake;
    fake.Lock()->native_architecture = c.architecture;
        EXPECT_EQ(Is64BitOs(fake), c.is64);
  }
  FakePlatform fake;
  fake.Lock()->os_version = std::nullopt;  // neither version query works
    EXPECT_EQ(Is64BitOs(fake), 0);
}

// MOBILEINFO_DEBUG is read at every Init, so a host can switch diagnostics off again.
TEST(Settings, DebugSwitchValues) {
  struct Case {
    std::optional<std::u16string> value;
    bool writes;
    std::u16string path;
  };
  const Case cases[] = {
      {std::nullopt, false, u""}, {u"", false, u""}, {u"0", false, u""},
      {u"1", true, u""},          {u"C:\\Logs\\mi.log", true, u"C:\\Logs\\mi.log"},
  };
  FakePlatform fake;
  MobileInfoService service(fake);
  for (const Case& c : cases) {
    const std::string name = c.value ? std::string(c.value->begin(), c.value->end()) : "unset";
    if (c.value) {
      fake.Lock()->environment[u"MOBILEINFO_DEBUG"] = *c.value;
    } else {
      fake.Lock()->environment.erase(u"MOBILEINFO_DEBUG");
    }
    fake.Lock()->debug_lines.clear();
    EXPECT_EQ(service.Init(nullptr, 1), 0);  // no sink: refused, and said so
    if (!c.writes) {
      EXPECT_TRUE(fake.Lock()->debug_lines.empty()) << name;
      continue;
    }
    ASSERT_FALSE(fake.Lock()->debug_lines.empty()) << name;
    const std::u16string& line = fake.Lock()->debug_lines.back().line;
    EXPECT_TRUE(std::regex_match(std::string(line.begin(), line.end()),
                                 std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} "
                                            "\\[host [0-9]+\\] Init\\(freshStart 1\\): 0, "
                                            "no readable sink")))
        << name << ": " << std::string(line.begin(), line.end());
    for (const auto& written : fake.Lock()->debug_lines) EXPECT_EQ(written.path, c.path) << name;
  }
}

// Where Init puts "mobileInfo.ini" and the two data files, and that the diagnostics name it.
TEST(Settings, DataDirectoryIsWhereTheDiagnosticsSayTheFilesAre) {
  struct Case {
    const char* name;
    std::optional<std::u16string> home;  // MOBILEINFO_HOME
    bool host_writable;
    std::u16string state_home;  // the system's per-user state directory; empty: none
    std::u16string expected;
    const char* why;
  };
  const Case cases[] = {
      {"beside the host", std::nullopt, true, u"/home/u/.local/state", u"/opt/host",
       "(the host directory)"},
      {"named", u"/srv/phones/", false, u"/home/u/.local/state", u"/srv/phones",
       "(MOBILEINFO_HOME)"},
      {"empty is unset", u"", true, u"", u"/opt/host", "(the host directory)"},
      {"host cannot be written", std::nullopt, false, u"/home/u/.local/state",
       u"/home/u/.local/state/mobileinfo", "(the host directory /opt/host cannot be written)"},
      {"no state directory (Windows)", std::nullopt, false, u"", u"/opt/host",
       "saves will fail"},
  };
  for (const Case& c : cases) {
    FakePlatform fake;
    fake.Lock()->separator = u'/';
    fake.Lock()->host_directory = u"/opt/host";
    if (!c.host_writable) fake.Lock()->unwritable_directories.insert(u"/opt/host");
    fake.Lock()->state_home = c.state_home;
    if (c.home) fake.Lock()->environment[u"MOBILEINFO_HOME"] = *c.home;
    fake.Lock()->environment[u"MOBILEINFO_DEBUG"] = u"1";
    fake.SetFile(c.expected + u"/mobileInfo.ini", "[main]\nMobileInfoCacheTimeOut=7\n");
    MobileInfoService service(fake);
    struct : IPelmoInfoSink {
      int32_t OnEvent(int32_t, PhoneRecord*) override { return 0; }
    } sink;
    ASSERT_EQ(service.Init(&sink, 1), 1) << c.name;
    EXPECT_EQ(service.CoreForTesting()->store.CacheTimeoutForTesting(), 7) << c.name;
    service.CoreForTesting()->store.PutPhoneForTesting(u"SERIAL1", PhoneRecord{});
    service.CoreForTesting()->tracker.SaveDeviceSnapshot();  // an empty file: no devices
    EXPECT_EQ(service.Stop(), 1);

    std::u16string said;
    for (const auto& written : fake.Lock()->debug_lines) {
      const size_t at = written.line.find(u"data directory ");
      if (at == std::u16string::npos) continue;
      said = written.line.substr(at + 15);
      break;
    }
    const std::string said8(said.begin(), said.end());
    const std::u16string named = c.expected + u" (";
    EXPECT_EQ(said.compare(0, named.size(), named), 0) << c.name << ": " << said8;
    EXPECT_NE(said8.find(c.why), std::string::npos) << c.name << ": " << said8;
    EXPECT_TRUE(fake.GetFile(c.expected + u"/MobileInfo1.dat")) << c.name;
    EXPECT_TRUE(fake.GetFile(c.expected + u"/MobileInfo2.dat")) << c.name;
    EXPECT_EQ(fake.Lock()->files.size(), 3u) << c.name;  // nothing written anywhere else
  }
}

}  // namespace
}  // namespace mobileinfo
