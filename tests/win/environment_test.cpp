// Environment probes, the readable-memory check, the debugger trap and the profile reader under
// Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace mobileinfo {
namespace {

Platform& P() { return Platform::Default(); }

TEST(Environment, HostDirectoryHoldsTheRunningProgram) {
  std::u16string directory = P().HostDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_NE(directory.back(), u'\\');
  EXPECT_EQ(P().PathSeparator(), u'\\');
  EXPECT_TRUE(P().FileExists(directory + u"\\backend_tests.exe"));
}

TEST(Environment, VersionAndArchitectureOfAnNtSystemOnX64) {
  std::optional<OsVersion> version = P().GetOsVersion();
  ASSERT_TRUE(version.has_value());
  EXPECT_EQ(version->platform_id, 2u);  // VER_PLATFORM_WIN32_NT
  EXPECT_GE(version->major, 5u);
  // The machine, not the process: AMD64 under wine64 here, and for the 32-bit DLL on 64-bit
  // Windows as well.
  EXPECT_EQ(P().NativeProcessorArchitecture(), std::optional<uint16_t>(9));
}

TEST(Environment, ReadableChecksEveryByteOfTheRange) {
  char stack_bytes[8] = {};
  EXPECT_TRUE(P().IsReadable(stack_bytes, sizeof(stack_bytes)));
  EXPECT_FALSE(P().IsReadable(nullptr, 4));

  // One readable page followed by one that faults.
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  auto* pages = static_cast<char*>(
      VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD old_protection = 0;
  ASSERT_TRUE(VirtualProtect(pages + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS,
                             &old_protection));
  EXPECT_TRUE(P().IsReadable(pages + info.dwPageSize - 4, 4));
  EXPECT_FALSE(P().IsReadable(pages + info.dwPageSize - 4, 8));
  EXPECT_FALSE(P().IsReadable(pages + info.dwPageSize, 1));
  VirtualFree(pages, 0, MEM_RELEASE);
}

// What a debugger would see, caught in-process: the message as a first-chance debug-print
// exception, then the breakpoint, stepped over.
std::atomic<bool> g_saw_message{false};
std::atomic<bool> g_saw_breakpoint{false};

LONG CALLBACK CatchTrap(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  constexpr DWORD kDebugPrintWide = 0x4001000A;  // DBG_PRINTEXCEPTION_WIDE_C
  constexpr DWORD kDebugPrint = 0x40010006;      // DBG_PRINTEXCEPTION_C
  if (record->ExceptionCode == kDebugPrintWide && record->NumberParameters >= 2) {
    auto* text = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
    if (text != nullptr && std::wstring(text).find(L"trap test") != std::wstring::npos) {
      g_saw_message = true;
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (record->ExceptionCode == kDebugPrint && record->NumberParameters >= 2) {
    auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    if (text != nullptr && std::string(text).find("trap test") != std::string::npos) {
      g_saw_message = true;
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }
  if (record->ExceptionCode == EXCEPTION_BREAKPOINT) {
    g_saw_breakpoint = true;
    // The instruction pointer is left on the int3 instruction: step over it.
#if defined(_M_X64) || defined(__x86_64__)
    auto& ip = pointers->ContextRecord->Rip;
#else
    auto& ip = pointers->ContextRecord->Eip;
#endif
    if (*reinterpret_cast<const unsigned char*>(ip) == 0xCC) ip += 1;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST(Environment, DebugTrapWritesTheMessageThenBreaks) {
  PVOID handler = AddVectoredExceptionHandler(1, &CatchTrap);
  ASSERT_NE(handler, nullptr);
  P().DebugTrap(u"mobileinfo trap test\n");
  RemoveVectoredExceptionHandler(handler);
  EXPECT_TRUE(g_saw_message);
  EXPECT_TRUE(g_saw_breakpoint);
}

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = P().TempDirectory() + u"mobileinfo-profile-test.ini";
    std::ofstream file(reinterpret_cast<const wchar_t*>(path_.c_str()), std::ios::binary);
    file << "[main]\r\nMobileInfoCacheTimeOut=7\r\nEmpty=\r\n  Spaced  =  value with spaces  \r\n"
            "[18d1_4ee2]\r\nName=Pixel Seven Pro Extra Long Name\r\n";
  }
  void TearDown() override { P().DeleteFile(path_); }

  uint32_t Read(const std::u16string& section, const std::u16string& key, uint32_t capacity,
                std::u16string& value) {
    return P().ReadProfileString(path_, section, key, capacity, value);
  }
  std::u16string path_;
};

TEST_F(ProfileTest, NamesMatchIgnoringCaseAndValuesAreTrimmed) {
  std::u16string value;
  EXPECT_EQ(Read(u"MAIN", u"mobileinfocachetimeout", 260, value), 1u);
  EXPECT_EQ(value, u"7");
  EXPECT_EQ(Read(u"main", u"Spaced", 260, value), 17u);
  EXPECT_EQ(value, u"value with spaces");
}

TEST_F(ProfileTest, MissingOrEmptyGivesNothing) {
  std::u16string value = u"stale";
  EXPECT_EQ(Read(u"main", u"Empty", 260, value), 0u);
  EXPECT_EQ(value, u"");
  EXPECT_EQ(Read(u"main", u"Absent", 260, value), 0u);
  EXPECT_EQ(Read(u"nosection", u"Name", 260, value), 0u);
  EXPECT_EQ(P().ReadProfileString(path_ + u".missing", u"main", u"MobileInfoCacheTimeOut", 260,
                                  value),
            0u);
  EXPECT_EQ(value, u"");
}

TEST_F(ProfileTest, LongValueIsCutToCapacityLessOne) {
  std::u16string value;
  EXPECT_EQ(Read(u"18d1_4ee2", u"Name", 8, value), 7u);
  EXPECT_EQ(value, u"Pixel S");
  EXPECT_EQ(Read(u"18d1_4ee2", u"Name", 1, value), 0u);
  EXPECT_EQ(Read(u"18d1_4ee2", u"Name", 0, value), 0u);
}

TEST_F(ProfileTest, Utf16FileWithByteOrderMarkIsRead) {
  std::u16string text = u"\uFEFF[18d1_4ee2]\r\nName=\u5927\u5BB9\u91CF\r\n";
  {
    std::ofstream file(reinterpret_cast<const wchar_t*>(path_.c_str()),
                       std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(text.data()),
               static_cast<std::streamsize>(text.size() * 2));
  }
  std::u16string value;
  EXPECT_EQ(Read(u"18d1_4ee2", u"Name", 32, value), 3u);
  EXPECT_EQ(value, u"\u5927\u5BB9\u91CF");
}

}  // namespace
}  // namespace mobileinfo
