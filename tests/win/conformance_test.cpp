// The formatter and the initialisation-file reader of the core against the Win32 originals they
// stand in for: wvsprintfW and GetPrivateProfileStringW, on one shared table of cases.
#include <windows.h>

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "conformance_cases.h"
#include "platform/platform.h"
#include "support/profile_text.h"
#include "support/text.h"
#include "support/wide_string.h"

namespace mobileinfo {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
const wchar_t* W(const std::u16string& text) { return W(text.c_str()); }

std::string Utf8(const std::u16string& text) { return Utf16ToUtf8(text); }

// wvsprintfW writes at most 1024 units whatever the buffer; every case fits.
int OriginalFormatter(char16_t* out, int capacity, const char16_t* format, va_list args) {
  if (capacity < 1024) return -1;
  return wvsprintfW(reinterpret_cast<wchar_t*>(out), W(format), args);
}

TEST(FormatConformanceTest, SameOutputAsWvsprintfW) {
  for (const auto& c : conformance::FormatCases()) {
    std::vector<char16_t> original(1100, u'#');
    std::vector<char16_t> ours(1100, u'#');
    const int original_written = c.run(&OriginalFormatter, original.data(), 1024);
    const int ours_written = c.run(&FormatWideV, ours.data(), 1024);
    const std::u16string original_text(original.data());
    const std::u16string ours_text(ours.data());
    EXPECT_EQ(Utf8(c.expected), Utf8(original_text)) << c.name << ": the table is wrong";
    EXPECT_EQ(Utf8(original_text), Utf8(ours_text)) << c.name;
    EXPECT_EQ(original_written, ours_written) << c.name;
  }
}

class ProfileConformanceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& path : paths_) DeleteFileW(path.c_str());
  }

  // Each case gets a file of its own: the profile functions cache files by name.
  std::wstring WriteIni(size_t index, const std::string& bytes) {
    wchar_t directory[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, directory);
    EXPECT_GT(n, 0u);
    std::wstring path = std::wstring(directory) + L"mobileinfo_conformance_" +
                        std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(index) +
                        L".ini";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    if (!bytes.empty()) {
      EXPECT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr));
    }
    CloseHandle(file);
    paths_.push_back(path);
    return path;
  }

 private:
  std::vector<std::wstring> paths_;
};

TEST_F(ProfileConformanceTest, SameValueAsGetPrivateProfileStringW) {
  const auto cases = conformance::ProfileCases();
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    const std::wstring path = WriteIni(i, c.file);
    std::vector<wchar_t> buffer(c.capacity + 8, L'#');
    const DWORD original_n = GetPrivateProfileStringW(W(c.section), W(c.key), nullptr,
                                                      buffer.data(), c.capacity, path.c_str());
    const std::u16string original(reinterpret_cast<const char16_t*>(buffer.data()));
    for (size_t k = c.capacity; k < buffer.size(); ++k) {
      ASSERT_EQ(L'#', buffer[k]) << c.name << ": written past the capacity";
    }

    std::u16string ours;
    const uint32_t ours_n =
        ReadProfileText(DecodeProfileBytes(c.file), c.section, c.key, c.capacity, ours);
    EXPECT_EQ(Utf8(c.expected), Utf8(original)) << c.name << ": the table is wrong";
    EXPECT_EQ(original.size(), original_n) << c.name;
    EXPECT_EQ(Utf8(original), Utf8(ours)) << c.name;
    EXPECT_EQ(original_n, ours_n) << c.name;
  }
}

// The backend reads a batch of keys of one section in one go; each key must come out exactly as
// GetPrivateProfileStringW gives it alone, whatever else the batch holds.
TEST_F(ProfileConformanceTest, BatchGivesWhatEachKeyGivesAlone) {
  const std::vector<std::u16string> keys = {
      u"k", u"K", u" k ", std::u16string(u"k\0j", 3), u"j", u"a", u"b", u"c", u"Key", u"Name",
      u"name", u";k", u"#k", u"[t", u"x", u"z", u"\u00e4", u"\u00c4", u"", u"k=1"};
  const uint32_t capacities[] = {260, 3, 1, 0, 2048};
  const auto cases = conformance::ProfileCases();
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    const std::wstring path = WriteIni(i, c.file);
    std::vector<Platform::ProfileRead> reads;
    reads.push_back({c.key, c.capacity, u"#", 99});
    for (size_t k = 0; k < keys.size(); ++k) {
      reads.push_back({keys[k], capacities[k % std::size(capacities)], u"#", 99});
    }
    Platform::Default().ReadProfileStrings(reinterpret_cast<const char16_t*>(path.c_str()),
                                           c.section, reads);
    for (const auto& read : reads) {
      std::u16string alone;
      DWORD alone_n = 0;
      if (read.capacity > 0) {
        std::vector<wchar_t> buffer(read.capacity + 1, L'\0');
        alone_n = GetPrivateProfileStringW(W(c.section), W(read.key), nullptr, buffer.data(),
                                           read.capacity, path.c_str());
        alone.assign(reinterpret_cast<const char16_t*>(buffer.data()));
      }
      EXPECT_EQ(Utf8(alone), Utf8(read.value)) << c.name << ", key " << Utf8(read.key);
      EXPECT_EQ(alone_n, read.count) << c.name << ", key " << Utf8(read.key);
    }
  }
}

}  // namespace
}  // namespace mobileinfo
