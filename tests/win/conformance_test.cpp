// The formatter and the initialisation-file reader of the core against the Win32 originals they
// stand in for: wvsprintfW and GetPrivateProfileStringW, on one shared table of cases.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conformance_cases.h"
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

}  // namespace
}  // namespace mobileinfo
