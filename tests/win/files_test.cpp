// kernel32 file operations under Wine, in a folder of the test's own under the temporary folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mobileinfo {
namespace {

Platform& P() { return Platform::Default(); }

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = P().TempDirectory() + u"mobileinfo-files-" +
              std::u16string(1, static_cast<char16_t>(u'a' + GetCurrentProcessId() % 26));
    P().CreateDirectory(folder_);
    ASSERT_TRUE(P().FileExists(folder_));
  }
  void TearDown() override {
    for (const char16_t* name : {u"a.dat", u"b.dat", u"big.dat"}) P().DeleteFile(Path(name));
    RemoveDirectoryW(reinterpret_cast<const wchar_t*>((folder_ + u"\\sub").c_str()));
    RemoveDirectoryW(reinterpret_cast<const wchar_t*>(folder_.c_str()));
  }
  std::u16string Path(const char16_t* name) const { return folder_ + u"\\" + name; }

  void WriteFile(const std::u16string& path, const std::string& bytes) {
    std::unique_ptr<File> file = P().OpenFile(path, FileMode::kCreateAlways);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Write(bytes.data(), static_cast<uint32_t>(bytes.size())));
  }
  std::string ReadFile(const std::u16string& path) {
    std::unique_ptr<File> file = P().OpenFile(path, FileMode::kReadExisting);
    if (!file) return "<cannot open>";
    std::string bytes(file->Size(), '\0');
    std::optional<uint32_t> got = file->Read(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (!got || *got != bytes.size()) return "<short read>";
    return bytes;
  }

  std::u16string folder_;
};

TEST_F(FilesTest, WriteThenReadBackWithSeekAndSize) {
  WriteFile(Path(u"a.dat"), "0123456789");
  std::unique_ptr<File> file = P().OpenFile(Path(u"a.dat"), FileMode::kReadExisting);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 10u);
  EXPECT_EQ(file->Seek(4), 4);
  char bytes[16] = {};
  EXPECT_EQ(file->Read(bytes, 16), 6u);  // a short read at the end is not a failure
  EXPECT_EQ(std::string(bytes, 6), "456789");
  EXPECT_EQ(file->Read(bytes, 16), 0u);
  EXPECT_EQ(file->Seek(20), 20);  // past the end is a position, not an error
  EXPECT_EQ(file->Read(bytes, 16), 0u);
  // Offsets from 2 GiB on are forward distances, not negative ones.
  EXPECT_EQ(file->Seek(0x90000000u), int64_t{0x90000000});
}

TEST_F(FilesTest, ModesOpenAndCreateAsNamedAndTellWhyNot) {
  FileError why = FileError::kNone;
  EXPECT_EQ(P().OpenFile(Path(u"a.dat"), FileMode::kReadExisting, &why), nullptr);
  EXPECT_EQ(why, FileError::kNotFound);
  EXPECT_FALSE(P().FileExists(Path(u"a.dat")));  // reading creates nothing

  WriteFile(Path(u"a.dat"), "long old content");
  WriteFile(Path(u"a.dat"), "new");  // create-always replaces
  EXPECT_EQ(ReadFile(Path(u"a.dat")), "new");

  {
    // Held without sharing, as another program holds a file: the second open says so.
    std::unique_ptr<File> held = P().OpenFile(Path(u"a.dat"), FileMode::kReadExisting);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(P().OpenFile(Path(u"a.dat"), FileMode::kReadExisting, &why), nullptr);
    EXPECT_EQ(why, FileError::kInUse);
  }
  std::unique_ptr<File> file = P().OpenFile(Path(u"a.dat"), FileMode::kReadExisting);
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(file->Write("x", 1));  // opened for reading only
}

TEST_F(FilesTest, OpenFilesAreNotShared) {
  WriteFile(Path(u"a.dat"), "data");
  {
    std::unique_ptr<File> reader = P().OpenFile(Path(u"a.dat"), FileMode::kReadExisting);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(P().OpenFile(Path(u"a.dat"), FileMode::kReadExisting), nullptr);
    EXPECT_EQ(P().OpenFile(Path(u"a.dat"), FileMode::kCreateAlways), nullptr);
    EXPECT_FALSE(P().DeleteFile(Path(u"a.dat")));
  }
  EXPECT_EQ(ReadFile(Path(u"a.dat")), "data");  // the refused create-always truncated nothing
  EXPECT_TRUE(P().DeleteFile(Path(u"a.dat")));
  EXPECT_FALSE(P().DeleteFile(Path(u"a.dat")));
}

TEST_F(FilesTest, ReplaceTakesTheTargetsPlaceEvenWhenItIsReadOnly) {
  WriteFile(Path(u"a.dat"), "first");
  WriteFile(Path(u"b.dat"), "second");
  ASSERT_TRUE(SetFileAttributesW(reinterpret_cast<const wchar_t*>(Path(u"b.dat").c_str()),
                                 FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(P().ReplaceFile(Path(u"a.dat"), Path(u"b.dat")));
  EXPECT_FALSE(P().FileExists(Path(u"a.dat")));
  EXPECT_EQ(ReadFile(Path(u"b.dat")), "first");
  EXPECT_FALSE(P().ReplaceFile(Path(u"a.dat"), Path(u"c.dat")));  // nothing to move
  // Refused while the target is open (no sharing): both files stay.
  WriteFile(Path(u"a.dat"), "third");
  {
    std::unique_ptr<File> held = P().OpenFile(Path(u"b.dat"), FileMode::kReadExisting);
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(P().ReplaceFile(Path(u"a.dat"), Path(u"b.dat")));
  }
  EXPECT_EQ(ReadFile(Path(u"a.dat")), "third");
  EXPECT_EQ(ReadFile(Path(u"b.dat")), "first");
  SetFileAttributesW(reinterpret_cast<const wchar_t*>(Path(u"b.dat").c_str()),
                     FILE_ATTRIBUTE_NORMAL);
}

// A folder deeper than MAX_PATH: every file operation the data files need still works there.
TEST_F(FilesTest, PathsPastMaxPathWork) {
  std::u16string deep = folder_;
  for (int level = 0; level < 3; ++level) {
    deep += u"\\" + std::u16string(100, static_cast<char16_t>(u'a' + level));
    ASSERT_TRUE(P().CreateDirectory(deep));
  }
  ASSERT_GT(deep.size(), 300u);
  const std::u16string data = deep + u"\\MobileInfo1.dat";
  WriteFile(data + u".tmp", "new");
  EXPECT_TRUE(P().ReplaceFile(data + u".tmp", data));
  EXPECT_TRUE(P().FileExists(data));
  EXPECT_FALSE(P().FileExists(data + u".tmp"));
  EXPECT_EQ(ReadFile(data), "new");
  EXPECT_TRUE(P().DeleteFile(data));
  EXPECT_FALSE(P().FileExists(data));
  for (int level = 0; level < 3; ++level) {
    const std::u16string extended = u"\\\\?\\" + deep;
    RemoveDirectoryW(reinterpret_cast<const wchar_t*>(extended.c_str()));
    deep.resize(deep.rfind(u'\\'));
  }
}

TEST_F(FilesTest, CreateDirectoryMakesOneLevel) {
  EXPECT_TRUE(P().CreateDirectory(Path(u"sub")));
  EXPECT_TRUE(P().FileExists(Path(u"sub")));
  EXPECT_FALSE(P().CreateDirectory(Path(u"sub")));  // already there
  EXPECT_FALSE(P().CreateDirectory(Path(u"missing\\deeper")));
}

TEST(TempNames, TempDirectoryEndsWithASeparatorAndExists) {
  std::u16string directory = P().TempDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), u'\\');
  EXPECT_TRUE(P().FileExists(directory));
}

// What finds the files a killed process left: the names by prefix, and whether their process is
// still there.
TEST_F(FilesTest, ListsFilesByPrefixAndTellsWhetherAProcessExists) {
  WriteFile(Path(u"a.dat"), "a");
  WriteFile(Path(u"b.dat"), "b");
  ASSERT_TRUE(P().CreateDirectory(Path(u"sub")));
  EXPECT_EQ(P().ListFiles(folder_ + u"\\", u"a"), std::vector<std::u16string>{u"a.dat"});
  std::vector<std::u16string> names = P().ListFiles(folder_ + u"\\", u"");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a.dat", u"b.dat"}));
  EXPECT_TRUE(P().ListFiles(folder_ + u"\\missing\\", u"").empty());

  EXPECT_TRUE(P().ProcessExists(GetCurrentProcessId()));
  EXPECT_FALSE(P().ProcessExists(0x7FFFFFF0u));
  // A process that has ended, its process object still held here.
  wchar_t command[] = L"cmd.exe /c exit 0";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &startup, &child));
  ASSERT_EQ(WaitForSingleObject(child.hProcess, 30000), WAIT_OBJECT_0);
  EXPECT_FALSE(P().ProcessExists(child.dwProcessId));
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
}

}  // namespace
}  // namespace mobileinfo
