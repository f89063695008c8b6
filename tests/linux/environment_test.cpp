// The Linux backend's answers about the process and the machine, its profile reader on real
// files, and its detached threads.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "conformance_cases.h"
#include "platform/linux/linux_platform.h"
#include "service/service.h"
#include "support/text.h"

namespace fs = std::filesystem;

namespace mobileinfo {
namespace {

TEST(EnvironmentTest, ProcessFacts) {
  LinuxPlatform platform("/nonexistent");
  fs::path executable = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(platform.HostDirectory(), Utf8ToUtf16(executable.parent_path().string()));
  EXPECT_EQ(platform.PathSeparator(), u'/');
  EXPECT_EQ(platform.ProcessId(), static_cast<uint32_t>(getpid()));
  int32_t now = platform.Now();
  EXPECT_LE(std::abs(now - static_cast<int32_t>(std::time(nullptr))), 2);
  EXPECT_FALSE(platform.IsReadable(nullptr, 4));
  EXPECT_TRUE(platform.IsReadable(&now, sizeof now));
}

// A pointer into a page that cannot be read is told apart from a readable one without a fault, so
// QueryPhoneStatus refuses it with 0 as it does on Windows.
TEST(EnvironmentTest, UnreadableMemoryIsReportedNotTouched) {
  LinuxPlatform platform("/nonexistent");
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t size = 8 * page;  // more than a phone record
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  auto* bytes = static_cast<uint8_t*>(block);
  EXPECT_TRUE(platform.IsReadable(bytes, static_cast<uint32_t>(size)));
  ASSERT_EQ(mprotect(bytes + 4 * page, page, PROT_NONE), 0);
  EXPECT_TRUE(platform.IsReadable(bytes, static_cast<uint32_t>(4 * page)));
  EXPECT_FALSE(platform.IsReadable(bytes + 2 * page, static_cast<uint32_t>(4 * page)));
  EXPECT_FALSE(platform.IsReadable(bytes + 4 * page + 8, 4));

  MobileInfoService service(platform);
  auto* unreadable = reinterpret_cast<PhoneRecord*>(bytes + 4 * page);
  EXPECT_EQ(service.QueryPhoneStatus(unreadable), 0);
  auto* straddling = reinterpret_cast<PhoneRecord*>(bytes + 2 * page);
  EXPECT_EQ(service.QueryPhoneStatus(straddling), 0);
  EXPECT_EQ(service.RefreshDriverInfo(straddling), 0);
  ASSERT_EQ(munmap(block, size), 0);
}

// Where a host that cannot write beside itself keeps its data: $XDG_STATE_HOME when absolute,
// else ~/.local/state, each with the directories on the way made and closed to others.
TEST(EnvironmentTest, StateDirectoryFollowsTheXdgRulesAndIsMade) {
  LinuxPlatform platform("/nonexistent");
  const fs::path base = fs::temp_directory_path() / ("mobileinfo-state-" + std::to_string(getpid()));
  fs::remove_all(base);
  fs::create_directories(base);
  const auto saved = [](const char* name) {
    const char* value = getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  const std::optional<std::string> state = saved("XDG_STATE_HOME"), home = saved("HOME");

  setenv("XDG_STATE_HOME", (base / "state").c_str(), 1);
  EXPECT_EQ(platform.UserStateDirectory(u"mobileinfo"),
            Utf8ToUtf16((base / "state" / "mobileinfo").string()));
  EXPECT_TRUE(fs::is_directory(base / "state" / "mobileinfo"));
  setenv("XDG_STATE_HOME", "relative/state", 1);  // not absolute: ignored
  setenv("HOME", (base / "home").c_str(), 1);
  const fs::path made = base / "home" / ".local" / "state" / "mobileinfo";
  EXPECT_EQ(platform.UserStateDirectory(u"mobileinfo"), Utf8ToUtf16(made.string()));
  EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(base / "home" / ".local").permissions() & fs::perms::all,
            fs::perms::owner_all);
  EXPECT_TRUE(platform.CanWriteDirectory(Utf8ToUtf16(made.string())));
  EXPECT_FALSE(platform.CanWriteDirectory(Utf8ToUtf16((base / "missing").string())));

  for (const auto& [name, value] : {std::make_pair("XDG_STATE_HOME", state),
                                    std::make_pair("HOME", home)}) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  fs::remove_all(base);
}

TEST(EnvironmentTest, VersionIsNotWindowsButTheMachineIsReported) {
  LinuxPlatform platform("/nonexistent");
  auto version = platform.GetOsVersion();
  ASSERT_TRUE(version.has_value());  // the bitness probe needs one
  EXPECT_NE(version->platform_id, 2u);  // not the NT family: OS code 0
  struct utsname name;
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(std::to_string(version->major), std::string(name.release).substr(0, std::string(name.release).find('.')));
  auto architecture = platform.NativeProcessorArchitecture();
  ASSERT_TRUE(architecture.has_value());
  if (std::string(name.machine) == "x86_64") {
    EXPECT_EQ(*architecture, 9);
  } else if (std::string(name.machine) == "aarch64") {
    EXPECT_EQ(*architecture, 12);
  }
}

TEST(EnvironmentTest, DebugTrapWithoutDebuggerOnlyWrites) {
  LinuxPlatform platform("/nonexistent");
  testing::internal::CaptureStderr();
  platform.DebugTrap(u"format not supported: \u00e9");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "format not supported: \xc3\xa9\n");
}

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "mobileinfo-ini-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::u16string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
    return Utf8ToUtf16(dir_ + "/" + name);
  }
  std::u16string Read(const std::u16string& file, const std::u16string& section,
                      const std::u16string& key, uint32_t capacity, uint32_t* count = nullptr) {
    std::u16string value = u"stale";
    uint32_t n = platform_.ReadProfileString(file, section, key, capacity, value);
    if (count) *count = n;
    EXPECT_EQ(n, value.size());
    return value;
  }

  std::string dir_;
  LinuxPlatform platform_{"/nonexistent"};
};

TEST_F(ProfileTest, ReadsFilesInEveryEncodingTheReplyMayHave) {
  auto utf8 = Write("utf8.ini", "\xEF\xBB\xBF[main]\r\nMobileInfoCacheTimeOut=7\r\n[18d1_4ee7]\r\n"
                               "Name=Pixel \xE2\x80\x94 7\r\n");
  EXPECT_EQ(Read(utf8, u"MAIN", u"mobileinfocachetimeout", 260), u"7");
  EXPECT_EQ(Read(utf8, u"18d1_4ee7", u"Name", 260), u"Pixel \u2014 7");

  const std::u16string text = u"[18d1_4ee7]\r\nUID=42\r\nName=\u5927\u5bb9\u91cf\r\n";
  auto le = Write("le.ini", conformance::Utf16Bytes(text, false));
  auto be = Write("be.ini", conformance::Utf16Bytes(text, true));
  EXPECT_EQ(Read(le, u"18d1_4ee7", u"Name", 32), u"\u5927\u5bb9\u91cf");
  EXPECT_EQ(Read(be, u"18D1_4EE7", u"UID", 32), u"42");
}

TEST_F(ProfileTest, MissingOrHostileFilesAreSafe) {
  uint32_t count = 1;
  EXPECT_EQ(Read(Utf8ToUtf16(dir_ + "/absent.ini"), u"main", u"k", 260, &count), u"");
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Read(Utf8ToUtf16(dir_), u"main", u"k", 260), u"");  // a directory

  std::string long_line = "[main]\nk=" + std::string(200000, 'v') + "\n";
  auto big = Write("long.ini", long_line);
  EXPECT_EQ(Read(big, u"main", u"k", 260, &count), std::u16string(259, u'v'));
  EXPECT_EQ(count, 259u);
  EXPECT_EQ(Read(big, u"main", u"k", 0, &count), u"");

  std::string junk("[main]\nk=\x00\xFF\xFE\x80\x01x\n", 16);
  auto binary = Write("junk.ini", junk);
  Read(binary, u"main", u"k", 260);  // whatever it reads, it reads it safely
}

TEST(RunDetachedTest, RunsTheWorkOnAnotherThread) {
  LinuxPlatform platform("/nonexistent");
  auto ran = std::make_shared<std::promise<std::thread::id>>();
  auto result = ran->get_future();
  ASSERT_TRUE(platform.RunDetached([ran] { ran->set_value(std::this_thread::get_id()); }));
  ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(result.get() != std::this_thread::get_id());
}

}  // namespace
}  // namespace mobileinfo
