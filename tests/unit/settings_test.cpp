// "mobileInfo.ini" and the operating-system probes.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "service/service.h"
#include "service_peer.h"

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
    MobileInfoService service(fake);
    EXPECT_EQ(service.ReadSettings(), c.result) << c.ini;
    EXPECT_EQ(ServicePeer::cache_timeout_days(service), c.expected) << c.ini;
  }
}

TEST(Settings, OnlyTheHostDirectoryIsRead) {
  FakePlatform fake;
  fake.host_directory = u"C:\\Program Files\\Host";
  fake.SetFile(u"C:\\Program Files\\Host\\plugins\\mobileInfo.ini",
               "[main]\nMobileInfoCacheTimeOut=9\n");
  MobileInfoService service(fake);
  EXPECT_EQ(service.ReadSettings(), 0);
  EXPECT_EQ(ServicePeer::cache_timeout_days(service), 1);
  EXPECT_EQ(service.HostFilePath(u"MobileInfo1.dat"), u"C:\\Program Files\\Host\\MobileInfo1.dat");
}

TEST(Settings, LongLinesAndArbitraryBytesAreSafe) {
  FakePlatform fake;
  std::string ini = "[main]\nMobileInfoCacheTimeOut=" + std::string(100000, '4') + "\n";
  ini += std::string("\xff\xfe\x00garbage\x80\x81", 12) + "\n";
  fake.SetFile(u"C:\\Host\\mobileInfo.ini", ini);
  MobileInfoService service(fake);
  EXPECT_EQ(service.ReadSettings(), 1);  // the value is cut to 259 digits and converted
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
    fake.os_version = c.version;
    MobileInfoService service(fake);
    EXPECT_EQ(service.GetOsCode(), c.code);
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
    fake.native_architecture = c.architecture;
    MobileInfoService service(fake);
    EXPECT_EQ(service.Is64BitOs(), c.is64);
  }
  FakePlatform fake;
  fake.os_version = std::nullopt;  // neither version query works
  MobileInfoService service(fake);
  EXPECT_EQ(service.Is64BitOs(), 0);
}

}  // namespace
}  // namespace mobileinfo
